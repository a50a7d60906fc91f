#pragma once
// Finding the status icon on a screenshot of a real panel, and the colours there: the icon is where
// the screen changed once the program started, in the icon's own shape; its colour is read inside
// the shapes and the panel's between and around them.
#include <QColor>
#include <QImage>
#include <QRect>
#include <optional>
#include <string>

namespace nubrio::panels {

struct IconPlace {
    QRect box;         // the icon's drawn extent on the screen
    QImage mask;       // box-sized: the icon's coverage there (alpha), as drawn by our own renderer
    double match = 0;  // how well the changed pixels fit that shape (intersection over union)
};

struct IconColours {
    QColor icon;
    QColor panel;
    double contrast = 0;
    std::string describe() const;  // "#eeeeec on #353535, 10.9:1"
};

// The changed region of `after` (against `before`) that best has the icon's shape, when one fits.
// `why` tells what was seen when none does.
std::optional<IconPlace> locateIcon(const QImage& before, const QImage& after, std::string* why = nullptr);

// The colours at a known place: the median of the pixels the shapes cover fully, and of those well
// clear of them within the icon's box. None when the place lies off the screen.
std::optional<IconColours> coloursAt(const QImage& screen, const IconPlace& place);

}  // namespace nubrio::panels
