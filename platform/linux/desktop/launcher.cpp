#include "platform/linux/desktop/launcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "platform/linux/base/files.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/desktop/app_icon.h"
#include "platform/linux/desktop/app_lookup.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/gio_library.h"
#include "platform/linux/desktop/login_items.h"
#include "platform/linux/desktop/mimeapps.h"

namespace nubrio::linux_platform::launcher {

namespace {

constexpr const char* kSchemeType = "x-scheme-handler/nubrio";
// Qt names an X11 window's class after the application name (main.cpp sets it).
constexpr const char* kWindowClass = "Nubrio";
// An entry is a few hundred bytes; a larger file at our name is not one we wrote.
constexpr std::size_t kMaxEntryBytes = 64 * 1024;

// Where GIO finds the entry under its ID: the same folder, read from the same environment.
std::filesystem::path dataHome() { return userDataHome(); }

std::filesystem::path applicationsFolder() { return dataHome() / "applications"; }

std::filesystem::path entryPath() { return applicationsFolder() / desktop_entry::ownDesktopId(); }

// The icon goes by the bundle identifier, the name its entry is known by.
std::string iconName() { return config::BundleIdentifier; }

// GIO needs no mimeinfo.cache for a handler named in mimeapps.list, but one that already exists in
// the folder would now be stale for the tools that read it. None is made where there was none: one
// that this program made would go stale as other programs add entries and, as this one, refresh only
// a cache that exists.
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
        // When GIO cannot tell whether another entry is installed, ours is not put over the user's choice.
        std::string unknown;
        if (app_lookup::installedEntry(id, &unknown) || !unknown.empty()) return Handler::Another;
    }
    return Handler::None;
}

platform::Error failed(const std::string& what, platform::Error error) {
    error.message = what + ": " + error.message;
    return error;
}

// What writing one of our entries came to.
struct Written {
    bool changed = false;
    std::optional<platform::Error> error;
};

// Writes the entry at `path` unless it already holds `text`. A file there that cannot be read whole,
// or not as an entry, is someone's: rewriting it would lose it, so it is left as it is.
Written writeEntryIfChanged(const std::filesystem::path& path, const std::string& text) {
    files::ReadFailure failure;
    const std::optional<std::string> current = files::readFile(path, kMaxEntryBytes, &failure);
    if (current == text) return {};
    std::string whyNot;
    if (!current && !failure.missing)
        return {false, platform::Error{"DesktopEntry", EINVAL, path.string() + " left as it is: " + failure.why}};
    if (current && !desktop_entry::parseEntry(*current, &whyNot))
        return {false, platform::Error{"DesktopEntry", EINVAL, path.string() + " left as it is: " + whyNot}};
    if (std::optional<platform::Error> error = files::writeFileAtomically(path, text)) return {false, error};
    return {true, std::nullopt};
}

// Removes the entry at `path` if it starts this bundle executable; true when it is gone.
bool removeIfOurs(const std::filesystem::path& path, const std::filesystem::path& bundleExecutable) {
    std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path);
    if (!keys) return false;
    const bool ours = (keys->program && desktop_entry::samePath(*keys->program, bundleExecutable)) ||
                      (!keys->tryExec.empty() && desktop_entry::samePath(keys->tryExec, bundleExecutable));
    if (!ours) return false;  // another copy of Nubrio has registered since
    if (std::remove(path.c_str()) != 0) {
        program_log::write("cannot remove " + path.string() + ": " + systemError(errno, path.string()).message);
        return false;
    }
    return true;
}

// The browsers that open the editor as an app window prefix the IDs of their web apps' entries with
// their executable's name: Chrome's and Chromium's is chrome.
constexpr const char* kAppWindowBrowsers[] = {"chrome", "msedge", "brave", "vivaldi"};

// Chromium's rule for a file name: characters a file name cannot hold, and white space or a dot at
// either end, become '_'.
std::string fileNameSafe(std::string name) {
    for (char& c : name)
        if (std::string_view("\"~*/:<>?\\|").find(c) != std::string_view::npos || static_cast<unsigned char>(c) < 0x20 ||
            c == 0x7f)
            c = '_';
    for (std::size_t at : {std::size_t{0}, name.size() - 1})
        if (!name.empty() && (name[at] == ' ' || name[at] == '.' || name[at] == '\t')) name[at] = '_';
    return name;
}

// Whether an entry starts a copy of Nubrio, wherever its bundle is.
bool startsNubrio(const desktop_entry::EntryKeys& keys) {
    const auto isNubrio = [](const std::filesystem::path& program) {
        return program.lexically_normal().string().ends_with("/Nubrio.app/Contents/MacOS/Nubrio");
    };
    return (keys.program && isNubrio(*keys.program)) || (!keys.tryExec.empty() && isNubrio(keys.tryExec));
}

void writeEditorWindowEntries(const std::filesystem::path& folder, const std::filesystem::path& bundleExecutable,
                              const std::string& page) {
    const AppWindowNames names = appWindowNames(page);
    const std::string text = editorWindowEntryText(bundleExecutable, names.x11Instance);
    for (const std::string& id : names.desktopIds) {
        // The name is the browser's to give too: an entry there that starts something else is left alone.
        const std::filesystem::path path = folder / id;
        if (std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path); keys && !startsNubrio(*keys)) {
            program_log::write(path.string() + " left as it is: it does not start Nubrio");
            continue;
        }
        if (Written written = writeEntryIfChanged(path, text); written.error)
            program_log::write("the editor window's entry not written: " + written.error->message);
    }
}

}  // namespace

AppWindowNames appWindowNames(const std::string& page) {
    // The page's host and path, as the browser reads the address.
    std::string_view rest = page;
    if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    rest.remove_prefix(authority.size());
    std::string_view host = authority.substr(authority.rfind('@') == std::string_view::npos ? 0 : authority.rfind('@') + 1);
    host = host.substr(0, host.find(':'));
    std::string_view path = rest.substr(0, rest.find_first_of("?#"));
    if (path.empty()) path = "/";
    const std::string appName = std::string(host) + "_" + std::string(path);

    AppWindowNames names;
    names.x11Instance = fileNameSafe(appName);
    const auto first = names.x11Instance.find_first_not_of('_');
    names.x11Instance = first == std::string::npos
                            ? std::string()
                            : names.x11Instance.substr(first, names.x11Instance.find_last_not_of('_') - first + 1);
    for (const char* browser : kAppWindowBrowsers) {
        std::string id = fileNameSafe(std::string(browser) + "-" + appName + "-Default");
        std::replace(id.begin(), id.end(), ' ', '_');
        names.desktopIds.push_back(id + ".desktop");
    }
    return names;
}

std::string editorWindowEntryText(const std::filesystem::path& bundleExecutable, const std::string& x11Instance) {
    return desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"Comment", "El editor de Nubrio"},
        {"Icon", iconName()},
        // Chosen where the window's icon is pinned: the program opens the editor.
        {"Exec", desktop_entry::quoteExecArgument(bundleExecutable.string())},
        {"TryExec", bundleExecutable.string()},
        {"Terminal", "false"},
        {"StartupNotify", "false"},
        {"StartupWMClass", x11Instance},
        // Only the window's: the application menu has Nubrio's own entry.
        {"NoDisplay", "true"},
    });
}

bool isSystemInstall(const std::filesystem::path& bundleExecutable) {
    const std::filesystem::path bundle = bundleExecutable.lexically_normal().parent_path().parent_path().parent_path();
    const std::filesystem::path holder = bundle.parent_path();
    if (holder.filename() != "nubrio" || holder.parent_path().filename() != "lib") return false;
    const std::filesystem::path prefix = holder.parent_path().parent_path();
    std::error_code error;
    return std::filesystem::is_regular_file(prefix / "share" / "applications" / desktop_entry::ownDesktopId(), error);
}

const DesktopAction* actionNamed(const std::string& id) {
    for (const DesktopAction& action : kActions)
        if (id == action.id) return &action;
    return nullptr;
}

std::vector<NamedAction> namedActions(const std::vector<MenuCommand>& commands) {
    std::vector<NamedAction> actions;
    for (const MenuCommand& command : commands)
        for (const DesktopAction& action : kActions) {
            if (command.selector != action.selector) continue;
            if (action.login == LoginChange::None)
                actions.push_back({&action, command.title});
            else
                actions.push_back({&action, command.title + (action.login == LoginChange::TurnOn ? ": activar"
                                                                                                  : ": desactivar")});
        }
    return actions;
}

std::string entryText(const std::filesystem::path& bundleExecutable, const std::vector<MenuCommand>& commands) {
    const std::string program = desktop_entry::quoteExecArgument(bundleExecutable.string());
    // The actions in the menu's order, each named as its menu item; start at login as the two changes.
    const std::vector<NamedAction> actions = namedActions(commands);
    std::string ids;
    for (const NamedAction& named : actions) ids += std::string(named.action->id) + ";";
    std::string text = desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"GenericName", "Procesamiento de videos"},
        {"Comment", "Procesa tus videos en esta computadora y abre el editor de Nubrio."},
        {"Icon", iconName()},
        {"Exec", program + " %u"},
        {"TryExec", bundleExecutable.string()},
        {"Terminal", "false"},
        // It opens no window of its own: a launch feedback would spin until it timed out.
        {"StartupNotify", "false"},
        // The class of the program's X11 windows (its alerts), which desktops match to this entry.
        {"StartupWMClass", kWindowClass},
        {"Categories", "AudioVideo;Video;"},
        {"Keywords", "video;clips;editor;procesamiento;"},
        {"MimeType", std::string(kSchemeType) + ";"},
        {"Actions", ids},
    });
    for (const NamedAction& named : actions)
        text += "\n" + desktop_entry::entryText({{"Name", named.title}, {"Exec", program + " " + named.action->flag}},
                                                "Desktop Action " + std::string(named.action->id));
    return text;
}

std::optional<platform::Error> registerFor(const std::filesystem::path& bundleExecutable,
                                           const Presentation& presentation) {
    if (std::optional<platform::Error> reason = desktop_entry::unlaunchableReason(bundleExecutable))
        return failed("no application entry written", *reason);

    if (!isSystemInstall(bundleExecutable)) {
        // The entry is of use without its icon: this failure ends here.
        if (auto error = app_icon::install(dataHome(), iconName(), presentation.glyph))
            program_log::write("application icon not written: " + error->message);

        const Written written = writeEntryIfChanged(entryPath(), entryText(bundleExecutable, presentation.commands));
        if (written.error) return failed("no application entry written", *written.error);
        if (written.changed) refreshMimeCacheIfPresent();
        writeEditorWindowEntries(applicationsFolder(), bundleExecutable, presentation.editorPage);
    }

    // The default alone is not enough: the desktop portal's OpenURI, which browsers call for a link,
    // opens it without asking only when GIO's recommended handlers for the type are exactly one, and
    // GIO reads those from mimeinfo.cache or a list's added associations, not from the defaults.
    const Handler handler = chosenHandler();
    if (handler == Handler::Another) return std::nullopt;
    if (std::optional<platform::Error> error =
            mimeapps::addUserHandler(kSchemeType, desktop_entry::ownDesktopId(), handler == Handler::None))
        return failed("links left without a default handler", *error);
    return std::nullopt;
}

void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable, const std::string& editorPage) {
    std::error_code error;
    const bool present = std::filesystem::exists(bundleExecutable, error);
    if (present || error) return;  // when in doubt, the bundle is still there

    const std::filesystem::path path = entryPath();
    if (desktop_entry::readEntry(path)) {
        if (!removeIfOurs(path, bundleExecutable)) return;  // another copy's, or it could not go
        refreshMimeCacheIfPresent();
    }
    for (const std::string& id : appWindowNames(editorPage).desktopIds)
        removeIfOurs(applicationsFolder() / id, bundleExecutable);
    app_icon::remove(dataHome(), iconName());
    // Also a default left behind by an entry that is already gone.
    mimeapps::removeFromUserLists(kSchemeType, desktop_entry::ownDesktopId());
}

std::optional<platform::Error> writeSystemFiles(const std::filesystem::path& bundleExecutable,
                                               const std::filesystem::path& dataFolder,
                                               const Presentation& presentation) {
    if (std::optional<platform::Error> reason = desktop_entry::unlaunchableReason(bundleExecutable)) return reason;
    if (auto error = app_icon::install(dataFolder, iconName(), presentation.glyph)) return error;
    const AppWindowNames names = appWindowNames(presentation.editorPage);
    for (const std::string& id : names.desktopIds)
        if (auto error = files::writeFileAtomically(dataFolder / "applications" / id,
                                                    editorWindowEntryText(bundleExecutable, names.x11Instance)))
            return error;
    return files::writeFileAtomically(dataFolder / "applications" / desktop_entry::ownDesktopId(),
                                      entryText(bundleExecutable, presentation.commands));
}

}  // namespace nubrio::linux_platform::launcher
