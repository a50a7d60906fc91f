#include "platform/linux/tray/icon_painting.h"

#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <utility>

namespace nubrio::linux_platform {

namespace {

// One path of subpaths, filled with the non-zero rule; "black" is whatever colour the image takes.
class PainterContext final : public platform::DrawingContext {
public:
    PainterContext(QPainter& painter, QColor black) : painter_(painter), black_(black), fill_(black) {}

    void beginPath() override {
        path_ = QPainterPath();
        path_.setFillRule(Qt::WindingFill);
    }
    void moveTo(double x, double y) override { path_.moveTo(x, y); }
    void lineTo(double x, double y) override { path_.lineTo(x, y); }
    void closePath() override { path_.closeSubpath(); }
    void setFillBlack() override { fill_ = black_; }
    void fillPath() override { painter_.fillPath(path_, fill_); }

private:
    QPainter& painter_;
    QColor black_;
    QColor fill_;
    QPainterPath path_;
};

}  // namespace

bool paintStatusImage(QPainter& painter, const platform::Image& image, qreal size, const QColor& tint) {
    if (!image.draw || image.width <= 0 || image.height <= 0 || size <= 0) return false;
    const double fit = std::min(size / image.width, size / image.height);
    const double width = image.width * fit;
    const double height = image.height * fit;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate((size - width) / 2, (size - height) / 2);
    painter.setClipRect(QRectF(0, 0, width, height));
    // Qt's y already grows downwards, which is what a flipped image means; others have y up.
    if (!image.flipped) {
        painter.translate(0, height);
        painter.scale(1, -1);
    }
    PainterContext context(painter, image.isTemplate ? tint : QColor(Qt::black));
    const bool drawn = image.draw(platform::Rect{0, 0, width, height}, context);
    painter.restore();
    return drawn;
}

QImage renderStatusIcon(const platform::Image& image, qreal size, const QColor& tint, qreal devicePixelRatio) {
    const int pixels = std::max(0, qRound(size * devicePixelRatio));
    QImage canvas(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    canvas.setDevicePixelRatio(devicePixelRatio);
    if (pixels == 0) return canvas;
    bool drawn = false;
    {
        QPainter painter(&canvas);
        drawn = paintStatusImage(painter, image, size, tint);
    }
    if (!drawn) canvas.fill(Qt::transparent);
    return canvas;
}

StatusIconEngine::StatusIconEngine(platform::Image image, QColor tint, PaintedHandler painted)
    : image_(std::move(image)), tint_(tint), painted_(std::move(painted)) {}

void StatusIconEngine::painted() {
    if (!painted_ || !*painted_) return;
    std::exchange(*painted_, nullptr)();
}

void StatusIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) {
    const int side = std::min(rect.width(), rect.height());
    if (side <= 0) return;
    painted();
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QRectF target(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0, side, side);
    painter->drawImage(target, renderStatusIcon(image_, side, tint_, ratio));
}

QPixmap StatusIconEngine::pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) {
    return scaledPixmap(size, mode, state, 1.0);
}

// Qt 6.4 passes the size in device pixels here (QIcon::pixmap multiplies it by the scale first);
// Qt 6.8 passes it in logical pixels, as the scale's own argument suggests.
QPixmap StatusIconEngine::scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) {
    if (size.isEmpty() || scale <= 0) return QPixmap();
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    const qreal side = std::min(size.width(), size.height());
#else
    const qreal side = std::min(size.width(), size.height()) / scale;
#endif
    painted();
    return QPixmap::fromImage(renderStatusIcon(image_, side, tint_, scale));
}

QSize StatusIconEngine::actualSize(const QSize& size, QIcon::Mode, QIcon::State) {
    const int side = std::min(size.width(), size.height());
    return QSize(side, side);
}

QList<QSize> StatusIconEngine::availableSizes(QIcon::Mode, QIcon::State) {
    return {QSize(16, 16), QSize(22, 22), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
}

QIconEngine* StatusIconEngine::clone() const { return new StatusIconEngine(image_, tint_, painted_); }

QString StatusIconEngine::key() const { return QStringLiteral("NubrioStatusIcon"); }

QImage StatusIconEngine::coverage(const platform::Image& image, const QSize& size) {
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    StatusIconEngine engine(image, Qt::black);
    QPainter painter(&canvas);
    engine.paint(&painter, QRect(QPoint(0, 0), size), QIcon::Normal, QIcon::Off);
    return canvas;
}

}  // namespace nubrio::linux_platform
