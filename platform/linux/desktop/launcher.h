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

// The entry's text for this bundle executable.
std::string entryText(const std::filesystem::path& bundleExecutable);

// Writes the entry and the icon for this bundle executable (only what changed), and makes the entry
// the nubrio: handler unless the user's lists name another installed handler. What could not be
// done is returned, and written to the program's log; a bundle path the desktop cannot start is
// refused, leaving nothing behind.
std::optional<std::string> registerFor(const std::filesystem::path& bundleExecutable);

// Once the bundle executable is gone (the bundle went to the Trash), removes the entry if it still
// starts that executable, its icon, and the nubrio: defaults that name it, so that nothing points
// into the Trash. Pass the path the program was started from, not where /proc/self/exe points after
// the move. Failures are written to the program's log.
void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable);

}  // namespace nubrio::linux_platform::launcher
