#pragma once
// The program on the desktop: its application entry $XDG_DATA_HOME/applications/<desktop-file ID>,
// which puts "Nubrio" in the application menu, carries the menu's restart and quit commands as
// desktop actions, and receives nubrio: links as the scheme's handler; and its icon in the user's
// icon theme.
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/status_bar.h"

namespace nubrio::linux_platform::launcher {

// A desktop action of the entry: started as the bundle executable with `flag`, the new process
// hands the menu command `selector` to the running copy (see main.cpp).
struct DesktopAction {
    const char* id;
    const char* flag;
    const char* selector;
};
inline constexpr DesktopAction kActions[] = {
    {"restart", "--restart", "restart"},
    {"quit", "--quit", "quit"},
};

// The status menu's titles of its commands, by selector: the actions are named as in the menu.
using CommandTitles = std::map<std::string, std::string>;

// What the entry shows that the core owns: the titles of its actions, and the glyph of its icon
// (the status icon's drawing).
struct Presentation {
    CommandTitles titles;
    platform::DrawingHandler glyph;
};

// The entry's text for this bundle executable.
std::string entryText(const std::filesystem::path& bundleExecutable, const CommandTitles& titles);

// Writes the entry and the icon for this bundle executable (only what changed), and makes the entry
// the nubrio: handler unless the user's lists name another installed handler. What could not be
// done is returned for the caller to log; a bundle path the desktop cannot start is refused,
// leaving nothing behind.
std::optional<platform::Error> registerFor(const std::filesystem::path& bundleExecutable,
                                           const Presentation& presentation);

// Once the bundle executable is gone (the bundle went to the Trash), removes the entry if it still
// starts that executable, its icon, and the nubrio: defaults that name it, so that nothing points
// into the Trash. Pass the path the program was started from, not where /proc/self/exe points after
// the move. Failures are written to the program's log.
void unregisterIfBundleGone(const std::filesystem::path& bundleExecutable);

}  // namespace nubrio::linux_platform::launcher
