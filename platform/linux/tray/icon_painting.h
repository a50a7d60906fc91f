#pragma once
// The status item's drawn icon: the image painted through its drawing handler at whatever size and
// device pixel ratio a tray asks for, a template image in the colour it is given.
#include <QColor>
#include <QIconEngine>
#include <QImage>
#include <functional>
#include <memory>

#include "platform/status_bar.h"

class QPainter;

namespace nubrio::linux_platform {

// The image drawn into a square of `size` × `size` logical pixels at `devicePixelRatio` (so the result
// has size·ratio device pixels, rounded, and that ratio), fitted and centred, antialiased. The handler gets a
// destination rectangle of the fitted size at the origin. A template image's coverage is painted in
// `tint`; other images as drawn. A handler that returns false leaves the square transparent.
QImage renderStatusIcon(const platform::Image& image, qreal size, const QColor& tint, qreal devicePixelRatio = 1.0);

// The same drawing with a painter of the caller's, into the square of `size` at its origin; the
// painter's state is as before afterwards. False when the handler failed (what it drew stays).
bool paintStatusImage(QPainter& painter, const platform::Image& image, qreal size, const QColor& tint);

// Paints the image on demand at any size and device pixel ratio, so the icon is sharp everywhere.
class StatusIconEngine final : public QIconEngine {
public:
    // Called back, and emptied, when the engine or one of its copies is first asked for a picture:
    // by the tray that shows the icon, as a rule.
    using PaintedHandler = std::shared_ptr<std::function<void()>>;

    StatusIconEngine(platform::Image image, QColor tint, PaintedHandler painted = {});

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    // The sizes trays commonly ask for; the StatusNotifierItem path sends these to the panel.
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine* clone() const override;
    QString key() const override;

    // The image as paint() draws it into `rect`'s size: where it covers the rectangle.
    static QImage coverage(const platform::Image& image, const QSize& size);

private:
    void painted();

    platform::Image image_;
    QColor tint_;
    PaintedHandler painted_;
};

}  // namespace nubrio::linux_platform
