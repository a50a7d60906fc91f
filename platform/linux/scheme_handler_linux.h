#pragma once
// Links of the nubrio scheme reach the bundle through the user's desktop entry named by the
// program's desktop-file ID in $XDG_DATA_HOME/applications, made the scheme's default handler.
#include <filesystem>

namespace nubrio::linux_platform {

// Writes the entry for this bundle executable (only when its text changes) and makes it the default
// for x-scheme-handler/nubrio. Best effort: a failure is written to the program's log.
void registerSchemeHandler(const std::filesystem::path& bundleExecutable);

// Once the bundle executable is gone (the bundle went to the Trash), removes the entry if it still
// starts that executable, and the scheme's default that names it, so links never point into the
// Trash. Pass the path the program was started from, not where /proc/self/exe points after the move.
// Best effort: a failure is written to the program's log.
void unregisterSchemeHandlerIfBundleGone(const std::filesystem::path& bundleExecutable);

}  // namespace nubrio::linux_platform
