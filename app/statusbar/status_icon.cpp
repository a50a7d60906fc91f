#include "app/statusbar/status_icon.h"

namespace nubrio {

const std::array<std::vector<double>, 3> statusIconShapes = {{
    {0, 3, 69, 3, 69, 16, 13, 16, 13, 67, 0, 67},
    {100, 97, 31, 97, 31, 84, 87, 84, 87, 33, 100, 33},
    {37.5, 31, 69, 50, 37.5, 69},
}};

bool drawStatusIcon(const platform::Rect& destination, platform::DrawingContext& context) {
    const double s = destination.width / 100.0;
    context.beginPath();
    for (const std::vector<double>& shape : statusIconShapes) {
        context.moveTo(shape[0] * s, shape[1] * s);
        for (std::size_t i = 2; i + 1 < shape.size(); i += 2) context.lineTo(shape[i] * s, shape[i + 1] * s);
        context.closePath();
    }
    context.setFillBlack();
    context.fillPath();
    return true;
}

platform::Image statusIconImage() { return {18, 18, true, true, drawStatusIcon}; }

}  // namespace nubrio
