#pragma once
// Checks of the drawn status icon shared by the tray's tests: the image the core draws, and where it
// must and must not cover a picture of it.
#include <QColor>
#include <QImage>

#include "platform/status_bar.h"

namespace nubrio::linux_platform {

// The status icon as the core makes it: 18 points, flipped, a template, drawn by drawStatusIcon.
platform::Image statusImage();

// The pixel of `image` that holds the point (x, y) of the icon's 100 × 100 design grid.
QColor at(const QImage& image, double x, double y);

// The shapes covered in `tint`, the gaps between them and the empty corners clear.
void expectStatusIcon(const QImage& image, const QColor& tint);

}  // namespace nubrio::linux_platform
