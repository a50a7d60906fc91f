#pragma once
// The program on the desktop: its application entry $XDG_DATA_HOME/applications/<desktop-file ID>,
// which puts "Nubrio" in the application menu, carries every command of the status menu as a desktop
// action (where no tray shows the menu, the launcher is the program's interface), and receives
// nubrio: links as the scheme's handler; and its icon in the user's icon theme.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/status_bar.h"

namespace nubrio::linux_platform::launcher {

// A command of the status menu: its action's selector and its title, as the menu shows them.
struct MenuCommand {
    std::string selector;
    std::string title;
};

// The commands of a list whose elements have a selector and a title (the core's, passed in by main).
template <typename List>
std::vector<MenuCommand> menuCommands(const List& list) {
    std::vector<MenuCommand> commands;
    for (const auto& command : list) commands.push_back({command.selector, command.title});
    return commands;
}

// What a desktop action asks of the login item.
enum class LoginChange { None, TurnOn, TurnOff };

// A desktop action of the entry: started as the bundle executable with `flag`, the new process
// hands the command `id` to the running copy (see main.cpp), which runs the menu command `selector`.
// A static title cannot carry the menu's check mark, and a desktop may show an entry's actions long
// after they were written: the entry offers both changes of start at login, each asking for a state
// rather than a flip, so that each does what it says.
struct DesktopAction {
    const char* id;  // the entry's action and the hand-over's command: lower case letters
    const char* flag;
    const char* selector;
    LoginChange login = LoginChange::None;
};
inline constexpr DesktopAction kActions[] = {
    {"openfiles", "--open-files", "openFiles"},
    {"openlogs", "--open-logs", "openLogs"},
    {"restart", "--restart", "restart"},
    {"loginon", "--login-on", "toggleLogin", LoginChange::TurnOn},
    {"loginoff", "--login-off", "toggleLogin", LoginChange::TurnOff},
    {"about", "--about", "about"},
    {"uninstall", "--uninstall", "uninstall"},
    {"quit", "--quit", "quit"},
};

// Whether this bundle executable is a system install: its bundle laid out as <prefix>/lib/nubrio/Nubrio.app
// beside the system's entry <prefix>/share/applications/<desktop-file ID>, as the package and
// `cmake --install` with a system prefix put it. The system's entry and icons then serve the menu: a
// per-user copy would outlive the package as a dead entry.
bool isSystemInstall(const std::filesystem::path& bundleExecutable);

// The action with this hand-over command, if any.
const DesktopAction* actionNamed(const std::string& id);

// The entry's actions for these commands, each with its title.
struct NamedAction {
    const DesktopAction* action;
    std::string title;
};
std::vector<NamedAction> namedActions(const std::vector<MenuCommand>& commands);

// The entry's text for this bundle executable and the menu's commands.
std::string entryText(const std::filesystem::path& bundleExecutable, const std::vector<MenuCommand>& commands);

// What the entry shows that the core owns: the menu's commands below "Abrir Nubrio" in the menu's
// order, whose titles its actions take (opening the editor is the entry's own default action), the
// glyph of its icon (the status icon's drawing), and the page of the editor's app window.
struct Presentation {
    std::vector<MenuCommand> commands;
    platform::DrawingHandler glyph;
    std::string editorPage;
};

// How Chromium-family browsers name an app window (--app=) of `page` for the desktop: the instance
// part of its X11 WM_CLASS, and per browser the Wayland app id, which is the ID of the desktop entry
// the browser would write for it (the browser's executable name, the page's host and path, the
// profile; Chromium 156 shows "nubrio.app" and "chrome-nubrio.app__-Default"). Only the profile
// "Default", where a browser opens such a window unless the user made another profile theirs.
struct AppWindowNames {
    std::string x11Instance;
    std::vector<std::string> desktopIds;
};
AppWindowNames appWindowNames(const std::string& page);

// A hidden entry that claims the editor's app window for Nubrio where desktops group windows: its
// ID is the window's Wayland app id and its StartupWMClass the X11 instance, as browsers write for
// their installed web apps; it starts the program, which opens the editor.
std::string editorWindowEntryText(const std::filesystem::path& bundleExecutable, const std::string& x11Instance);

// Writes the entry, the editor window's hidden entries and the icon for this bundle executable
// (only what changed; none for a system install), and makes the entry the nubrio: handler unless the
// user's lists name another installed handler: the default and an added association in the user's
// mimeapps.list, as GIO's own call writes them. What could not be done is returned for the caller
// to log; a bundle path the desktop cannot start is refused, leaving nothing behind.
std::optional<platform::Error> registerFor(const std::filesystem::path& bundleExecutable,
                                           const Presentation& presentation);

// Once the bundle executable is gone (the bundle went to the Trash), removes the entries that still
// start that executable, the icon, and the nubrio: defaults that name it, so that nothing points
// into the Trash. Pass the path the program was started from, not where /proc/self/exe points after
// the move, and the editor's page, which names the editor window's entries. Failures are written to
// the program's log.
void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable, const std::string& editorPage);

// For a system prefix: writes the entries for this bundle executable and the icons under `dataFolder`
// (<prefix>/share, with DESTDIR when staging), the files the program writes per user.
std::optional<platform::Error> writeSystemFiles(const std::filesystem::path& bundleExecutable,
                                               const std::filesystem::path& dataFolder,
                                               const Presentation& presentation);

}  // namespace nubrio::linux_platform::launcher
