#include "platform/linux/status_icon_linux.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <algorithm>

namespace nubrio::linux_platform {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");

// The foreground colours of symbolic icons on dark and on light panels.
const QColor kLightIcon(0xee, 0xee, 0xec);
const QColor kDarkIcon(0x2e, 0x34, 0x36);

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

// Old portals answer Read with the value wrapped twice; ReadOne wraps it once.
std::optional<unsigned> colorSchemeFrom(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    bool ok = false;
    const unsigned scheme = value.toUInt(&ok);
    if (!ok) return std::nullopt;
    return scheme;
}

}  // namespace

QColor templateColour(std::optional<unsigned> colorScheme, const QPalette& palette) {
    if (colorScheme == ColorScheme::PreferDark) return kLightIcon;
    if (colorScheme == ColorScheme::PreferLight) return kDarkIcon;
    return palette.color(QPalette::Active, QPalette::WindowText);
}

QImage renderStatusIcon(const platform::Image& image, qreal size, const QColor& tint, qreal devicePixelRatio) {
    const int pixels = std::max(0, qRound(size * devicePixelRatio));
    QImage canvas(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    canvas.setDevicePixelRatio(devicePixelRatio);
    if (!image.draw || image.width <= 0 || image.height <= 0 || pixels == 0) return canvas;

    const double fit = std::min(size / image.width, size / image.height);
    const double width = image.width * fit;
    const double height = image.height * fit;
    bool drawn = false;
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate((size - width) / 2, (size - height) / 2);
        painter.setClipRect(QRectF(0, 0, width, height));
        // Qt's y already grows downwards, which is what a flipped image means; others have y up.
        if (!image.flipped) {
            painter.translate(0, height);
            painter.scale(1, -1);
        }
        PainterContext context(painter, image.isTemplate ? tint : QColor(Qt::black));
        drawn = image.draw(platform::Rect{0, 0, width, height}, context);
    }
    if (!drawn) canvas.fill(Qt::transparent);
    return canvas;
}

StatusIconEngine::StatusIconEngine(platform::Image image, QColor tint) : image_(std::move(image)), tint_(tint) {}

void StatusIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) {
    const int side = std::min(rect.width(), rect.height());
    if (side <= 0) return;
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QRectF target(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0, side, side);
    painter->drawImage(target, renderStatusIcon(image_, side, tint_, ratio));
}

QPixmap StatusIconEngine::pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) {
    return scaledPixmap(size, mode, state, 1.0);
}

// Qt 6.4 passes the size in device pixels here (QIcon::pixmap multiplies it by the scale first).
QPixmap StatusIconEngine::scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) {
    if (size.isEmpty() || scale <= 0) return QPixmap();
    const int side = std::min(size.width(), size.height());
    return QPixmap::fromImage(renderStatusIcon(image_, side / scale, tint_, scale));
}

QSize StatusIconEngine::actualSize(const QSize& size, QIcon::Mode, QIcon::State) {
    const int side = std::min(size.width(), size.height());
    return QSize(side, side);
}

QList<QSize> StatusIconEngine::availableSizes(QIcon::Mode, QIcon::State) {
    return {QSize(16, 16), QSize(22, 22), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
}

QIconEngine* StatusIconEngine::clone() const { return new StatusIconEngine(image_, tint_); }

QString StatusIconEngine::key() const { return QStringLiteral("NubrioStatusIcon"); }

PanelAppearance::PanelAppearance(QDBusConnection bus) : bus_(std::move(bus)) {
    QCoreApplication::instance()->installEventFilter(this);
    if (!bus_.isConnected()) return;
    // Qt 6.4 looks the slot's argument types up by name, and QDBusVariant has none until registered.
    qRegisterMetaType<QDBusVariant>();
    bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QString, QString, QDBusVariant)));
    read(QStringLiteral("ReadOne"));
}

PanelAppearance::~PanelAppearance() {
    if (bus_.isConnected())
        bus_.disconnect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                        SLOT(settingChanged(QString, QString, QDBusVariant)));
}

QColor PanelAppearance::iconColour() const { return templateColour(colorScheme_, QGuiApplication::palette()); }

bool PanelAppearance::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange) Q_EMIT changed();
    return false;
}

void PanelAppearance::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group == kAppearanceGroup && key == kColorSchemeKey) setColorScheme(colorSchemeFrom(value.variant()));
}

// Asynchronous, so that a portal that is slow to start never holds up the launch.
void PanelAppearance::read(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << kAppearanceGroup << kColorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusMessage reply = finished->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            // Portals before version 2 only have Read; when there is no portal, it fails the same way.
            if (method == QLatin1String("ReadOne")) read(QStringLiteral("Read"));
            return;
        }
        if (!reply.arguments().isEmpty()) setColorScheme(colorSchemeFrom(reply.arguments().constFirst()));
    });
}

void PanelAppearance::setColorScheme(std::optional<unsigned> scheme) {
    if (scheme == colorScheme_) return;
    colorScheme_ = scheme;
    Q_EMIT changed();
}

}  // namespace nubrio::linux_platform
