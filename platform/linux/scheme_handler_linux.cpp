#include "platform/linux/scheme_handler_linux.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <cstdio>
#include <string>
#include <system_error>

#include "platform/linux/desktop_entry.h"
#include "platform/linux/files.h"
#include "platform/linux/glib_owner.h"
#include "platform/linux/program_log.h"
#include "platform/linux/system_error.h"

namespace nubrio::linux_platform {

namespace {

constexpr const char* kSchemeType = "x-scheme-handler/nubrio";
// An entry or a mimeapps.list is a few hundred bytes; a larger file is not one we wrote.
constexpr std::size_t kMaxEntryBytes = 64 * 1024;

// GLib's own folders, not the environment: GIO must find the entry under its ID there.
std::filesystem::path applicationsFolder() {
    return std::filesystem::path(g_get_user_data_dir()) / "applications";
}

std::filesystem::path entryPath() {
    return applicationsFolder() / desktop_entry::ownDesktopId();
}

std::string entryTextFor(const std::filesystem::path& executable) {
    return desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"NoDisplay", "true"},
        {"Exec", desktop_entry::quoteExecArgument(executable.string()) + " %u"},
        {"TryExec", executable.string()},
        {"MimeType", std::string(kSchemeType) + ";"},
        {"Terminal", "false"},
    });
}

// Whether the user's mimeapps.list names our entry first as the scheme's default.
bool isUserDefault() {
    const std::filesystem::path list = std::filesystem::path(g_get_user_config_dir()) / "mimeapps.list";
    const KeyFilePtr file(g_key_file_new());
    if (!g_key_file_load_from_file(file.get(), list.c_str(), G_KEY_FILE_NONE, nullptr)) return false;
    const GStrvPtr handlers(g_key_file_get_string_list(file.get(), "Default Applications", kSchemeType, nullptr, nullptr));
    return handlers && handlers.get()[0] && handlers.get()[0] == desktop_entry::ownDesktopId();
}

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

}  // namespace

void registerSchemeHandler(const std::filesystem::path& bundleExecutable) {
    const std::filesystem::path path = entryPath();
    const std::string text = entryTextFor(bundleExecutable);
    if (files::readFile(path, kMaxEntryBytes) != text) {
        if (std::optional<platform::Error> error = files::writeFileAtomically(path, text)) {
            program_log::write("links left without a handler: " + error->message);
            return;
        }
        refreshMimeCacheIfPresent();
    }
    if (isUserDefault()) return;
    const GObjectPtr<GDesktopAppInfo> entry(g_desktop_app_info_new_from_filename(path.c_str()));
    if (!entry) {
        program_log::write("links left without a handler: GIO does not take " + path.string());
        return;
    }
    // Only an entry with an ID (one inside GIO's data folders) can be named in mimeapps.list.
    const char* id = g_app_info_get_id(G_APP_INFO(entry.get()));
    if (!id || id != desktop_entry::ownDesktopId()) {
        program_log::write("links left without a handler: " + path.string() + " is not in GIO's folders");
        return;
    }
    GErrorOut error;
    if (!g_app_info_set_as_default_for_type(G_APP_INFO(entry.get()), kSchemeType, error))
        program_log::write(std::string("links left without a default handler: ") + error.get()->message);
}

void unregisterSchemeHandlerIfBundleGone(const std::filesystem::path& bundleExecutable) {
    std::error_code error;
    const bool present = std::filesystem::exists(bundleExecutable, error);
    if (present || error) return;  // when in doubt, the bundle is still there

    const std::filesystem::path path = entryPath();
    if (std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path)) {
        const bool ours = (keys->program && desktop_entry::samePath(*keys->program, bundleExecutable)) ||
                          (!keys->tryExec.empty() && desktop_entry::samePath(keys->tryExec, bundleExecutable));
        if (!ours) return;  // another copy of Nubrio has registered since
        if (std::remove(path.c_str()) != 0) {
            program_log::write("cannot remove the link handler entry: " + systemError(errno, path.string()).message);
            return;
        }
        refreshMimeCacheIfPresent();
    }
    // Also a default left behind by an entry that is already gone.
    if (isUserDefault()) g_app_info_reset_type_associations(kSchemeType);
}

}  // namespace nubrio::linux_platform
