#pragma once
#include <array>
#include <vector>

#include "platform/status_bar.h"

namespace nubrio {

// The icon in a 100 × 100 grid, origin top left, y down: two corner brackets and a right-pointing
// triangle, each a flat list x0, y0, x1, y1, …
extern const std::array<std::vector<double>, 3> statusIconShapes;

// Fills the shapes in black (coverage only: the image is a template), scaled by the destination's
// width / 100 and placed at the context's origin.
bool drawStatusIcon(const platform::Rect& destination, platform::DrawingContext& context);

// The status item's image: the icon as an 18 × 18 template, drawn by drawStatusIcon.
platform::Image statusIconImage();

}  // namespace nubrio
