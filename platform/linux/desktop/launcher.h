#pragma once
// The program on the desktop: its application entry $XDG_DATA_HOME/applications/<desktop-file ID>,
// which puts "Nubrio" in the application menu, carries the menu's restart and quit commands as
// desktop actions, and receives nubrio: links as the scheme's handler; and its icon in the user's
// icon theme.
#include <filesystem>
#include <optional>
#include <string>

#include "app/statusbar/menu_titles.h"

namespace nubrio::linux_platform::launcher {

// A desktop action of the entry: started as the bundle executable with `flag`, the new process
// hands the menu command `selector` to the running copy (see main.cpp).
struct DesktopAction {
    const char* id;
    const char* flag;
    const char* selector;
    const char* name;  // as in the menu
};
inline constexpr DesktopAction kActions[] = {
    {"restart", "--restart", "restart", menu_titles::Restart},
    {"quit", "--quit", "quit", menu_titles::Quit},
};

// Whether this bundle executable is a system install: its bundle laid out as <prefix>/lib/nubrio/Nubrio.app
// beside the system's entry <prefix>/share/applications/<desktop-file ID>, as the package and
// `cmake --install` with a system prefix put it. The system's entry and icons then serve the menu: a
// per-user copy would outlive the package as a dead entry.
bool isSystemInstall(const std::filesystem::path& bundleExecutable);

// The entry's text for this bundle executable.
std::string entryText(const std::filesystem::path& bundleExecutable);

// Writes the entry and the icon for this bundle executable (only what changed; none for a system
// install), and makes the entry the nubrio: handler unless the user's lists name another installed
// handler. What could not be
// done is returned, and written to the program's log; a bundle path the desktop cannot start is
// refused, leaving nothing behind.
std::optional<std::string> registerFor(const std::filesystem::path& bundleExecutable);

// Once the bundle executable is gone (the bundle went to the Trash), removes the entry if it still
// starts that executable, its icon, and the nubrio: defaults that name it, so that nothing points
// into the Trash. Pass the path the program was started from, not where /proc/self/exe points after
// the move. Failures are written to the program's log.
void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable);

// For a system prefix: writes the entry for this bundle executable and the icons under `dataFolder`
// (<prefix>/share, with DESTDIR when staging), the same files the program writes per user.
std::optional<std::string> writeSystemFiles(const std::filesystem::path& bundleExecutable,
                                            const std::filesystem::path& dataFolder);

}  // namespace nubrio::linux_platform::launcher
