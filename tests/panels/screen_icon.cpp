#include "screen_icon.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <sstream>
#include <vector>

#include "app/statusbar/status_icon.h"
#include "platform/linux/tray/icon_painting.h"
#include "platform/linux/tray/panel_themes.h"

namespace nubrio::panels {

namespace {

// A pixel counts as changed when a channel moved by more than this (screens are not noisy; this
// only skips the faintest antialiasing).
constexpr int kChangeThreshold = 16;
// Icons in panels are drawn between these sizes.
constexpr int kSmallest = 8, kLargest = 96;
// Changes this close together belong to one place on the screen (a tray that appeared, say).
constexpr int kNearby = 8;
constexpr double kMinimumMatch = 0.6;
// The icon's corner brackets span 69 % of its width.
constexpr double kBracketWidth = 0.69;

QString hex(const QColor& colour) { return colour.name(QColor::HexRgb); }

// The icon's coverage at `side` × `side`, as the program paints it, cut to what it covers.
QImage renderedIcon(int side) {
    const platform::Image image{18, 18, true, true, &drawStatusIcon};
    const QImage coverage =
        linux_platform::renderStatusIcon(image, side, Qt::black).convertToFormat(QImage::Format_ARGB32);
    QRect box;
    for (int y = 0; y < coverage.height(); ++y)
        for (int x = 0; x < coverage.width(); ++x)
            if (qAlpha(coverage.pixel(x, y)) > 0) box |= QRect(x, y, 1, 1);
    return coverage.copy(box);
}

bool differs(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) > kChangeThreshold || std::abs(qGreen(a) - qGreen(b)) > kChangeThreshold ||
           std::abs(qBlue(a) - qBlue(b)) > kChangeThreshold;
}

// Pixels of an area of the screen that are marked, row by row.
struct Marks {
    QRect area;
    std::vector<char> marked;
    bool at(int x, int y) const {
        if (!area.contains(x, y)) return false;
        return marked[static_cast<std::size_t>(y - area.y()) * area.width() + (x - area.x())] != 0;
    }
};

// Marked pixels grouped with their neighbours up to two pixels away.
std::vector<QRect> groups(const Marks& marks) {
    const int width = marks.area.width(), height = marks.area.height();
    std::vector<char> seen(marks.marked.size(), 0);
    std::vector<QRect> boxes;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t index = static_cast<std::size_t>(y) * width + x;
            if (!marks.marked[index] || seen[index]) continue;
            QRect box;
            std::deque<QPoint> queue{QPoint(x, y)};
            seen[index] = 1;
            while (!queue.empty()) {
                const QPoint point = queue.front();
                queue.pop_front();
                box |= QRect(point, QSize(1, 1));
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx) {
                        const int nx = point.x() + dx, ny = point.y() + dy;
                        if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                        const std::size_t next = static_cast<std::size_t>(ny) * width + nx;
                        if (!marks.marked[next] || seen[next]) continue;
                        seen[next] = 1;
                        queue.emplace_back(nx, ny);
                    }
            }
            boxes.push_back(box.translated(marks.area.topLeft()));
        }
    return boxes;
}

// Boxes that lie near each other, merged.
std::vector<QRect> merged(std::vector<QRect> boxes) {
    for (bool again = true; again;) {
        again = false;
        for (std::size_t i = 0; i < boxes.size() && !again; ++i)
            for (std::size_t j = i + 1; j < boxes.size(); ++j)
                if (boxes[i].adjusted(-kNearby, -kNearby, kNearby, kNearby).intersects(boxes[j])) {
                    boxes[i] |= boxes[j];
                    boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(j));
                    again = true;
                    break;
                }
    }
    return boxes;
}

// What stands out in an area from its commonest colour: the panel's colour, where the icon is
// drawn on it (whether the panel was there before or appeared with the icon).
Marks ink(const QImage& screen, const QRect& area) {
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[screen.pixel(x, y) & 0xfff8f8f8];
    const QRgb common =
        std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    Marks marks{area, std::vector<char>(static_cast<std::size_t>(area.width()) * area.height(), 0)};
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x)
            marks.marked[static_cast<std::size_t>(y) * area.width() + x] =
                differs(screen.pixel(area.x() + x, area.y() + y) & 0xfff8f8f8, common);
    return marks;
}

// How well the ink inside `box` has the icon's shape (intersection over union).
double match(const Marks& marks, const QImage& mask, const QPoint& topLeft) {
    int both = 0, either = 0;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) {
            const bool inked = qAlpha(mask.pixel(x, y)) >= 64;
            const bool seen = marks.at(topLeft.x() + x, topLeft.y() + y);
            both += inked && seen;
            either += inked || seen;
        }
    return either ? static_cast<double>(both) / either : 0;
}

QColor median(const std::vector<QRgb>& pixels) {
    auto channelMedian = [&](int (*channel)(QRgb)) {
        std::vector<int> values;
        values.reserve(pixels.size());
        for (QRgb pixel : pixels) values.push_back(channel(pixel));
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
        return values[values.size() / 2];
    };
    return QColor(channelMedian(qRed), channelMedian(qGreen), channelMedian(qBlue));
}

}  // namespace

std::string IconColours::describe() const {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f:1", contrast);
    return hex(icon).toStdString() + " on " + hex(panel).toStdString() + ", " + ratio;
}

std::optional<IconPlace> locateIcon(const QImage& beforeShot, const QImage& afterShot, std::string* why) {
    const QImage before = beforeShot.convertToFormat(QImage::Format_RGB32);
    const QImage after = afterShot.convertToFormat(QImage::Format_RGB32);
    if (before.size() != after.size() || after.isNull()) {
        if (why) *why = "the screenshots differ in size";
        return std::nullopt;
    }
    Marks changes{after.rect(), std::vector<char>(static_cast<std::size_t>(after.width()) * after.height(), 0)};
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            changes.marked[static_cast<std::size_t>(y) * after.width() + x] =
                differs(before.pixel(x, y), after.pixel(x, y));

    std::optional<IconPlace> best;
    std::ostringstream seen;
    for (const QRect& changed : merged(groups(changes))) {
        seen << " " << changed.width() << "x" << changed.height() << "+" << changed.x() << "+" << changed.y();
        if (changed.width() > 6 * kLargest || changed.height() > 6 * kLargest) continue;
        const Marks marks = ink(after, changed.adjusted(-2, -2, 2, 2) & after.rect());
        // Each piece of ink may be the whole icon, its top-left bracket or its bottom-right one: each
        // says where the icon's box would be and how large.
        for (const QRect& piece : groups(marks)) {
            struct Guess {
                double side;
                bool fromBottomRight;
            };
            const Guess guesses[] = {{static_cast<double>(piece.width()), false},
                                     {piece.width() / kBracketWidth, false},
                                     {piece.width() / kBracketWidth, true}};
            for (const Guess& guess : guesses)
                for (int side = static_cast<int>(guess.side) - 1; side <= static_cast<int>(guess.side) + 2; ++side) {
                    if (side < kSmallest || side > kLargest) continue;
                    const QImage mask = renderedIcon(side);
                    const QPoint anchor = guess.fromBottomRight
                                              ? piece.bottomRight() + QPoint(1, 1) - QPoint(mask.width(), mask.height())
                                              : piece.topLeft();
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const QPoint topLeft = anchor + QPoint(dx, dy);
                            const double score = match(marks, mask, topLeft);
                            if (!best || score > best->match)
                                best = IconPlace{QRect(topLeft, mask.size()), mask, score};
                        }
                }
        }
    }
    if (best)
        seen << "; best fit " << static_cast<int>(best->match * 100) << "% at " << best->box.width() << "x"
             << best->box.height() << "+" << best->box.x() << "+" << best->box.y();
    if (best && best->match >= kMinimumMatch) return best;
    if (why) *why = "changed areas:" + (seen.str().empty() ? std::string(" none") : seen.str());
    return std::nullopt;
}

std::optional<IconColours> coloursAt(const QImage& shot, const IconPlace& place) {
    const QImage screen = shot.convertToFormat(QImage::Format_RGB32);
    if (!screen.rect().contains(place.box)) return std::nullopt;
    const QImage& mask = place.mask;
    auto alphaAt = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= mask.width() || y >= mask.height()) return 0;
        return qAlpha(mask.pixel(x, y));
    };
    std::vector<QRgb> inside, clear;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) {
            // The icon's bars are two or three pixels thick at panel sizes: its colour is where the
            // icon covers a pixel fully; the panel's where no neighbour is touched.
            int highest = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) highest = std::max(highest, alphaAt(x + dx, y + dy));
            const QRgb pixel = screen.pixel(place.box.x() + x, place.box.y() + y);
            if (alphaAt(x, y) == 255) inside.push_back(pixel);
            if (highest == 0) clear.push_back(pixel);
        }
    if (inside.empty() || clear.empty()) return std::nullopt;
    IconColours colours;
    colours.icon = median(inside);
    colours.panel = median(clear);
    colours.contrast = linux_platform::contrastRatio(colours.icon, colours.panel);
    return colours;
}

}  // namespace nubrio::panels
