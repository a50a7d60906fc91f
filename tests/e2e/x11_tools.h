#pragma once
// The X11 side of a desktop session through the usual command-line tools (xdotool, xprop, xwininfo,
// ImageMagick): finding a program's windows, focusing them, typing, clicking and screenshots.
#include <sys/types.h>

#include <QStringList>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace nubrio::e2e {

struct ToolResult {
    int exitCode = -1;  // -1: did not start or did not finish in time
    std::string output;
    std::string error;
};

// Runs a tool to its end while turning the Qt event loop.
ToolResult runTool(const QStringList& command, const Environment& environment,
                   std::chrono::milliseconds deadline = std::chrono::seconds(10));

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;  // x and y on the root window
};

class X11Tools {
public:
    explicit X11Tools(Environment environment) : environment_(std::move(environment)) {}

    // Mapped windows whose _NET_WM_PID is the process.
    std::vector<unsigned long> visibleWindowsOf(pid_t pid) const;
    // Mapped windows whose WM_CLASS class matches the pattern (a regular expression).
    std::vector<unsigned long> visibleWindowsOfClass(const std::string& pattern) const;
    // The window types (_NET_WM_WINDOW_TYPE_DIALOG, …) that the window declares.
    std::string windowTypes(unsigned long window) const;
    // The strings of a text property (WM_CLASS gives the instance, then the class); none when unset.
    std::vector<std::string> textProperty(unsigned long window, const std::string& name) const;
    std::optional<WindowGeometry> geometry(unsigned long window) const;
    // The window's parent, as xwininfo reports it.
    std::optional<unsigned long> parent(unsigned long window) const;
    unsigned long root() const;

    bool focus(unsigned long window) const;
    // Key names as xdotool knows them (Return, Tab, space, Up), typed into the focused window.
    bool key(const std::vector<std::string>& keys) const;
    bool click(int x, int y, int button) const;

    // Number of distinct colours in the window's current image; none when it cannot be captured.
    std::optional<int> distinctColours(unsigned long window, const std::filesystem::path& scratch) const;
    bool screenshot(const std::filesystem::path& file) const;

private:
    std::vector<unsigned long> search(const QStringList& criteria) const;
    ToolResult run(const QStringList& command) const { return runTool(command, environment_); }

    Environment environment_;
};

}  // namespace nubrio::e2e
