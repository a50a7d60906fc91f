#pragma once
// The program's application icon for launchers and windows: the status icon's shapes in white on a
// rounded blue tile, which stands out on light and dark backgrounds alike, where a bare glyph in one
// colour would vanish on one of them.
#include <QIcon>
#include <QImage>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/status_bar.h"

namespace nubrio::linux_platform::app_icon {

// `glyph` is the status icon's drawing: its shapes on a 100-unit grid, filled in black.

// The icon as an SVG document (the icon theme's scalable size).
std::string svg(const platform::DrawingHandler& glyph);

// The icon painted into a square of `pixels` pixels.
QImage render(int pixels, const platform::DrawingHandler& glyph);

// For windows of the program (its alerts); painted at whatever size is asked.
QIcon icon(platform::DrawingHandler glyph);

// Puts the icon into the user's hicolor icon theme under `name`, as scalable/apps/<name>.svg and
// <n>x<n>/apps/<name>.png for the usual fixed sizes. When they are up to date nothing is painted or
// written, so a start costs a few reads. The error, when a file could not be written.
std::optional<platform::Error> install(const std::filesystem::path& dataHome, const std::string& name,
                                       const platform::DrawingHandler& glyph);

// Removes the files that install() writes.
void remove(const std::filesystem::path& dataHome, const std::string& name);

}  // namespace nubrio::linux_platform::app_icon
