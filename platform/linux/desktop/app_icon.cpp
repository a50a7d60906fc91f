#include "platform/linux/desktop/app_icon.h"

#include <QBuffer>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sys/time.h>

#include "platform/linux/base/files.h"
#include "platform/linux/tray/icon_painting.h"

namespace nubrio::linux_platform::app_icon {

namespace {

// The design in a 128-unit square: the tile, and the shapes' 100-unit grid inside it.
constexpr double kCanvas = 128;
constexpr double kTileInset = 8;
constexpr double kTileRadius = 24;
constexpr double kGlyphSize = 68;
constexpr double kGlyphOffset = (kCanvas - kGlyphSize) / 2;
const QColor kTile(0x2b, 0x59, 0xc3);
const QColor kGlyphColour(Qt::white);

constexpr std::array<int, 8> kSizes = {16, 22, 24, 32, 48, 64, 128, 256};
// Icons are small; anything much larger at our name was not written by us.
constexpr std::size_t kMaxIconBytes = 1024 * 1024;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The glyph as the status icon draws it, on the 100-unit grid, written as SVG path data.
class SvgPath final : public platform::DrawingContext {
public:
    void beginPath() override { data_.clear(); }
    void moveTo(double x, double y) override { data_ += (data_.empty() ? "M" : " M") + number(x) + " " + number(y); }
    void lineTo(double x, double y) override { data_ += " L" + number(x) + " " + number(y); }
    void closePath() override { data_ += " Z"; }
    void setFillBlack() override {}
    void fillPath() override {}
    const std::string& data() const { return data_; }

private:
    std::string data_;
};

class AppIconEngine final : public QIconEngine {
public:
    explicit AppIconEngine(platform::DrawingHandler glyph) : glyph_(std::move(glyph)) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const int side = std::min(rect.width(), rect.height());
        painter->drawImage(QRect(rect.topLeft(), QSize(side, side)), render(side, glyph_));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return QPixmap::fromImage(render(std::min(size.width(), size.height()), glyph_));
    }
    QIconEngine* clone() const override { return new AppIconEngine(glyph_); }

private:
    platform::DrawingHandler glyph_;
};

std::filesystem::path pngPath(const std::filesystem::path& hicolor, int size, const std::string& name) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    return hicolor / folder / "apps" / (name + ".png");
}

}  // namespace

std::string svg(const platform::DrawingHandler& glyph) {
    SvgPath path;
    if (glyph) glyph({0, 0, 100, 100}, path);
    const double scale = kGlyphSize / 100;
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 128 128\">\n"
           "  <rect x=\"" + number(kTileInset) + "\" y=\"" + number(kTileInset) + "\" width=\"" +
           number(kCanvas - 2 * kTileInset) + "\" height=\"" + number(kCanvas - 2 * kTileInset) + "\" rx=\"" +
           number(kTileRadius) + "\" fill=\"" + kTile.name().toStdString() + "\"/>\n"
           "  <path transform=\"translate(" + number(kGlyphOffset) + " " + number(kGlyphOffset) + ") scale(" +
           number(scale) + ")\" fill=\"" + kGlyphColour.name().toStdString() + "\" d=\"" + path.data() +
           "\"/>\n"
           "</svg>\n";
}

QImage render(int pixels, const platform::DrawingHandler& glyph) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (pixels <= 0) return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(pixels / kCanvas, pixels / kCanvas);
    QPainterPath tile;
    tile.addRoundedRect(QRectF(kTileInset, kTileInset, kCanvas - 2 * kTileInset, kCanvas - 2 * kTileInset),
                        kTileRadius, kTileRadius);
    painter.fillPath(tile, kTile);
    painter.translate(kGlyphOffset, kGlyphOffset);
    // The glyph as a status image: the same drawing, in the tile's glyph colour.
    paintStatusImage(painter, platform::Image{100, 100, true, true, glyph}, kGlyphSize, kGlyphColour);
    return image;
}

QIcon icon(platform::DrawingHandler glyph) { return QIcon(new AppIconEngine(std::move(glyph))); }

std::optional<platform::Error> install(const std::filesystem::path& dataHome, const std::string& name,
                                       const platform::DrawingHandler& glyph) {
    const std::filesystem::path hicolor = dataHome / "icons" / "hicolor";
    bool changed = false;
    auto put = [&](const std::filesystem::path& path, const std::string& bytes) -> std::optional<platform::Error> {
        if (files::readFile(path, kMaxIconBytes) == bytes) return std::nullopt;
        changed = true;
        return files::writeFileAtomically(path, bytes);
    };
    // The pictures follow from the same design as the SVG: an unchanged SVG with every picture in
    // place needs no painting.
    const std::filesystem::path scalable = hicolor / "scalable" / "apps" / (name + ".svg");
    const std::string design = svg(glyph);
    std::error_code ignored;
    const bool upToDate = files::readFile(scalable, kMaxIconBytes) == design &&
                          std::all_of(kSizes.begin(), kSizes.end(), [&](int size) {
                              return std::filesystem::exists(pngPath(hicolor, size, name), ignored);
                          });
    if (upToDate) return std::nullopt;
    if (auto error = put(scalable, design)) return error;
    for (int size : kSizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        render(size, glyph).save(&buffer, "PNG");
        if (auto error = put(pngPath(hicolor, size, name), png.toStdString())) return error;
    }
    // Icon caches and launchers look at the theme folder's time to notice new icons.
    if (changed) ::utimes(hicolor.c_str(), nullptr);
    return std::nullopt;
}

void remove(const std::filesystem::path& dataHome, const std::string& name) {
    const std::filesystem::path hicolor = dataHome / "icons" / "hicolor";
    std::error_code ignored;
    std::filesystem::remove(hicolor / "scalable" / "apps" / (name + ".svg"), ignored);
    for (int size : kSizes) std::filesystem::remove(pngPath(hicolor, size, name), ignored);
    ::utimes(hicolor.c_str(), nullptr);
}

}  // namespace nubrio::linux_platform::app_icon
