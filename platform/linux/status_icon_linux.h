#pragma once
// The status item's drawn icon on a Linux panel: the image painted through its drawing handler at
// whatever size the tray asks for, and the colour that template images take on the panel.
#include <QColor>
#include <QDBusConnection>
#include <QIconEngine>
#include <QImage>
#include <QObject>
#include <optional>

#include "platform/status_bar.h"

class QDBusVariant;
class QPalette;

namespace nubrio::linux_platform {

// The freedesktop appearance setting "color-scheme": 0 no preference, 1 prefer dark, 2 prefer light.
struct ColorScheme {
    static constexpr unsigned NoPreference = 0, PreferDark = 1, PreferLight = 2;
};

// A tray does not tint a mask the way the macOS menu bar does, so a template image is painted
// in this colour: light on a dark desktop, dark on a light one, and the palette's text colour when the
// desktop states no preference (or is not known).
QColor templateColour(std::optional<unsigned> colorScheme, const QPalette& palette);

// The image drawn into a square of `size` × `size` logical pixels at `devicePixelRatio` (so the result
// has size·ratio device pixels, rounded, and that ratio), fitted and centred, antialiased. The handler gets a
// destination rectangle of the fitted size at the origin. A template image's coverage is painted in
// `tint`; other images as drawn. A handler that returns false leaves the square transparent.
QImage renderStatusIcon(const platform::Image& image, qreal size, const QColor& tint, qreal devicePixelRatio = 1.0);

// Paints the image on demand at any size and device pixel ratio, so the icon is sharp everywhere.
class StatusIconEngine final : public QIconEngine {
public:
    StatusIconEngine(platform::Image image, QColor tint);

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    // The sizes trays commonly ask for; the StatusNotifierItem path sends these to the panel.
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine* clone() const override;
    QString key() const override;

private:
    platform::Image image_;
    QColor tint_;
};

// Follows the desktop's light/dark preference (the settings portal on `bus`, when there is one) and
// the application palette, and says when the template colour may have changed.
class PanelAppearance final : public QObject {
    Q_OBJECT
public:
    // The QGuiApplication must exist. The portal is asked asynchronously: until it answers (or when
    // it is absent) the palette decides.
    explicit PanelAppearance(QDBusConnection bus = QDBusConnection::sessionBus());
    ~PanelAppearance() override;

    std::optional<unsigned> colorScheme() const { return colorScheme_; }
    QColor iconColour() const;

Q_SIGNALS:
    void changed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void read(const QString& method);
    void setColorScheme(std::optional<unsigned> scheme);

    QDBusConnection bus_;
    std::optional<unsigned> colorScheme_;
};

}  // namespace nubrio::linux_platform
