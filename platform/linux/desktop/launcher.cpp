#include "platform/linux/desktop/launcher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/linux/base/files.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/desktop/app_icon.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/mimeapps.h"

namespace nubrio::linux_platform::launcher {

namespace {

constexpr const char* kSchemeType = "x-scheme-handler/nubrio";
// An entry is a few hundred bytes; a larger file at our name is not one we wrote.
constexpr std::size_t kMaxEntryBytes = 64 * 1024;

// GLib's own folders, not the environment: GIO must find the entry under its ID there.
std::filesystem::path dataHome() { return g_get_user_data_dir(); }

std::filesystem::path applicationsFolder() { return dataHome() / "applications"; }

std::filesystem::path entryPath() { return applicationsFolder() / desktop_entry::ownDesktopId(); }

// The icon goes by the bundle identifier, the name its entry is known by.
std::string iconName() { return config::BundleIdentifier; }

// GIO needs no mimeinfo.cache for a default named in mimeapps.list, but one that already exists in
// the folder would now be stale for the tools that read it.
void refreshMimeCacheIfPresent() {
    const std::filesystem::path folder = applicationsFolder();
    std::error_code ignored;
    if (!std::filesystem::exists(folder / "mimeinfo.cache", ignored)) return;
    const GText tool{g_find_program_in_path("update-desktop-database")};
    if (!tool) {
        program_log::write("mimeinfo.cache left as it was: update-desktop-database is not installed");
        return;
    }
    std::string folderText = folder.string();
    char* argv[] = {tool.get(), folderText.data(), nullptr};
    GErrorOut error;
    if (!g_spawn_async(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                       nullptr, nullptr, nullptr, error))
        program_log::write(std::string("cannot run update-desktop-database: ") + error.get()->message);
}

enum class Handler { Ours, Another, None };

// The handler the lists name first among the installed ones. The user's choice stands: ours becomes
// the handler only when there is none.
Handler chosenHandler() {
    for (const std::string& id : mimeapps::namedDefaults(kSchemeType)) {
        if (id == desktop_entry::ownDesktopId()) return Handler::Ours;
        if (GObjectPtr<GDesktopAppInfo>(g_desktop_app_info_new(id.c_str()))) return Handler::Another;
    }
    return Handler::None;
}

std::optional<std::string> failed(const std::string& what) {
    program_log::write(what);
    return what;
}

}  // namespace

std::string entryText(const std::filesystem::path& bundleExecutable) {
    const std::string program = desktop_entry::quoteExecArgument(bundleExecutable.string());
    std::string actions;
    for (const DesktopAction& action : kActions) actions += std::string(action.id) + ";";
    std::string text = desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"GenericName", "Procesamiento de videos"},
        {"Comment", "Procesa tus videos en esta computadora y abre el editor de Nubrio"},
        {"Icon", iconName()},
        {"Exec", program + " %u"},
        {"TryExec", bundleExecutable.string()},
        {"Terminal", "false"},
        // It opens no window of its own: a launch feedback would spin until it timed out.
        {"StartupNotify", "false"},
        {"Categories", "AudioVideo;Video;"},
        {"Keywords", "video;clips;editor;procesamiento;"},
        {"MimeType", std::string(kSchemeType) + ";"},
        {"Actions", actions},
    });
    for (const DesktopAction& action : kActions)
        text += "\n" + desktop_entry::entryText({{"Name", action.name}, {"Exec", program + " " + action.flag}},
                                                "Desktop Action " + std::string(action.id));
    return text;
}

std::optional<std::string> registerFor(const std::filesystem::path& bundleExecutable) {
    if (std::optional<std::string> reason = desktop_entry::unlaunchableReason(bundleExecutable))
        return failed("no application entry written: " + *reason);

    if (auto error = app_icon::install(dataHome(), iconName())) failed("application icon not written: " + *error);

    const std::filesystem::path path = entryPath();
    const std::string text = entryText(bundleExecutable);
    files::ReadFailure failure;
    const std::optional<std::string> current = files::readFile(path, kMaxEntryBytes, &failure);
    if (current != text) {
        // A file at our name that cannot be read whole is someone's, and rewriting it would lose it.
        std::string whyNot;
        if (!current && !failure.missing) return failed("application entry left as it is: " + failure.why);
        if (current && !desktop_entry::readEntry(path, &whyNot))
            return failed("application entry " + path.string() + " left as it is: " + whyNot);
        if (std::optional<platform::Error> error = files::writeFileAtomically(path, text))
            return failed("no application entry written: " + error->message);
        refreshMimeCacheIfPresent();
    }

    if (chosenHandler() != Handler::None) return std::nullopt;
    if (std::optional<platform::Error> error = mimeapps::setUserDefault(kSchemeType, desktop_entry::ownDesktopId()))
        return failed("links left without a default handler: " + error->message);
    return std::nullopt;
}

void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable) {
    std::error_code error;
    const bool present = std::filesystem::exists(bundleExecutable, error);
    if (present || error) return;  // when in doubt, the bundle is still there

    const std::filesystem::path path = entryPath();
    if (std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path)) {
        const bool ours = (keys->program && desktop_entry::samePath(*keys->program, bundleExecutable)) ||
                          (!keys->tryExec.empty() && desktop_entry::samePath(keys->tryExec, bundleExecutable));
        if (!ours) return;  // another copy of Nubrio has registered since
        if (std::remove(path.c_str()) != 0) {
            program_log::write("cannot remove the application entry: " + systemError(errno, path.string()).message);
            return;
        }
        refreshMimeCacheIfPresent();
    }
    app_icon::remove(dataHome(), iconName());
    // Also a default left behind by an entry that is already gone.
    mimeapps::removeFromUserLists(kSchemeType, desktop_entry::ownDesktopId());
}

}  // namespace nubrio::linux_platform::launcher
