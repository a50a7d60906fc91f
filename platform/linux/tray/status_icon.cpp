#include "platform/linux/tray/status_icon.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStandardPaths>
#include <algorithm>

namespace nubrio::linux_platform {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");

const QString kXfconfService = QStringLiteral("org.xfce.Xfconf");
const QString kXfconfPath = QStringLiteral("/org/xfce/Xfconf");
const QString kXfconfInterface = QStringLiteral("org.xfce.Xfconf");
const QString kXfcePanelChannel = QStringLiteral("xfce4-panel");
const QString kXfceDarkMode = QStringLiteral("/panels/dark-mode");

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

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

QVariant unwrapped(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

// Old portals answer Read with the value wrapped twice; ReadOne wraps it once.
std::optional<unsigned> colorSchemeFrom(const QVariant& value) {
    bool ok = false;
    const unsigned scheme = unwrapped(value).toUInt(&ok);
    if (!ok) return std::nullopt;
    return scheme;
}

std::optional<bool> darkModeFrom(const QVariant& value) {
    const QVariant bare = unwrapped(value);
    if (bare.metaType() != QMetaType::fromType<bool>()) return std::nullopt;
    return bare.toBool();
}

}  // namespace

QColor iconColourOn(const QColor& background) {
    return contrastRatio(kLightIcon, background) >= contrastRatio(kDarkIcon, background) ? kLightIcon : kDarkIcon;
}

QColor templateColour(const PanelFacts& facts) {
    // An XEmbed tray is what the icon is painted on: its word, then its pixels, before the desktop's.
    if (facts.xembed) {
        if (facts.trayForeground) return *facts.trayForeground;
        if (facts.trayBackground) return iconColourOn(*facts.trayBackground);
    }
    switch (facts.panel) {
        case PanelKind::Xfce: return facts.xfceDarkMode.value_or(true) ? kLightIcon : kDarkIcon;
        // GNOME Shell's top bar is dark in light and dark mode alike.
        case PanelKind::Gnome: return kLightIcon;
        case PanelKind::Plasma:
        case PanelKind::Lxqt:
            if (facts.panelBackground) return iconColourOn(*facts.panelBackground);
            break;
        case PanelKind::Unknown: break;
    }
    if (facts.colorScheme == ColorScheme::PreferLight) return kDarkIcon;
    // Nothing known, or a dark preference: most panels are dark (GNOME's top bar, Xfce's default,
    // Cinnamon's, Budgie's, elementary's, the bars of tiling window managers), and the common light
    // ones (Plasma's Breeze, LXQt's) say so in their settings, read above.
    return kLightIcon;
}

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

QImage StatusIconEngine::coverage(const platform::Image& image, const QSize& size) {
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    StatusIconEngine engine(image, Qt::black);
    QPainter painter(&canvas);
    engine.paint(&painter, QRect(QPoint(0, 0), size), QIcon::Normal, QIcon::Off);
    return canvas;
}

PanelAppearance::PanelAppearance(QDBusConnection bus) : bus_(std::move(bus)) {
    facts_.panel = panelFromDesktopNames(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
    if (bus_.isConnected()) {
        // Qt 6.4 looks the slot's argument types up by name, and QDBusVariant has none until registered.
        qRegisterMetaType<QDBusVariant>();
        bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                     SLOT(settingChanged(QString, QString, QDBusVariant)));
        readPortal(QStringLiteral("ReadOne"));
        QStringList names;
        for (const PanelBusName& panel : kPanelBusNames) names << QString::fromLatin1(panel.name);
        // A panel that starts after the program (or is replaced) is noticed too.
        panelNames_ = new QDBusServiceWatcher(this);
        panelNames_->setConnection(bus_);
        panelNames_->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        panelNames_->setWatchedServices(names);
        connect(panelNames_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { findPanel(); });
        findPanel();
    } else {
        followPanel();
    }
}

PanelAppearance::~PanelAppearance() {
    if (!bus_.isConnected()) return;
    bus_.disconnect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                    SLOT(settingChanged(QString, QString, QDBusVariant)));
    if (followsXfconf_) {
        bus_.disconnect(kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyChanged"), this,
                        SLOT(xfconfChanged(QString, QString, QDBusVariant)));
        bus_.disconnect(kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyRemoved"), this,
                        SLOT(xfconfRemoved(QString, QString)));
    }
    if (followsKdeSignals_) {
        bus_.disconnect(QString(), QStringLiteral("/kdeglobals"), QStringLiteral("org.kde.kconfig.notify"),
                        QStringLiteral("ConfigChanged"), this, SLOT(desktopFilesChanged()));
        bus_.disconnect(QString(), QStringLiteral("/KGlobalSettings"), QStringLiteral("org.kde.KGlobalSettings"),
                        QStringLiteral("notifyChange"), this, SLOT(desktopFilesChanged()));
    }
}

bool PanelAppearance::statusNotifierHostRegistered() const {
    if (!bus_.isConnected() || !bus_.interface()->isServiceRegistered(kWatcherService)) return false;
    QDBusMessage get =
        QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus_.call(get);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           unwrapped(reply.arguments().constFirst()).toBool();
}

void PanelAppearance::watchForStatusNotifierHost() {
    if (watchesHosts_ || !bus_.isConnected()) return;
    watchesHosts_ = true;
    // The watcher may come first and its host a moment later: both are looked at.
    auto* watcher = new QDBusServiceWatcher(kWatcherService, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { statusNotifierHostRegistered_(); });
    bus_.connect(kWatcherService, QStringLiteral("/StatusNotifierWatcher"), kWatcherService,
                 QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(statusNotifierHostRegistered_()));
}

void PanelAppearance::statusNotifierHostRegistered_() {
    if (statusNotifierHostRegistered()) Q_EMIT statusNotifierHostAppeared();
}

void PanelAppearance::followXEmbedTray() {
    if (!xembedTray_) {
        xembedTray_ = std::make_unique<XEmbedTray>();
        auto follow = [this] {
            PanelFacts next = facts_;
            next.trayForeground = xembedTray_->foreground();
            update(next);
        };
        connect(xembedTray_.get(), &XEmbedTray::coloursChanged, this, follow);
        connect(xembedTray_.get(), &XEmbedTray::trayChanged, this, follow);
    }
    PanelFacts next = facts_;
    next.xembed = true;
    next.trayForeground = xembedTray_->foreground();
    update(next);
}

void PanelAppearance::setXEmbedBackground(std::optional<QColor> colour) {
    PanelFacts next = facts_;
    next.trayBackground = colour;
    update(next);
}

void PanelAppearance::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group != kAppearanceGroup || key != kColorSchemeKey) return;
    PanelFacts next = facts_;
    next.colorScheme = colorSchemeFrom(value.variant());
    update(next);
}

// Asynchronous, so that a service that is slow to start (the portal, xfconfd started by the bus)
// never holds up the launch.
void PanelAppearance::callLater(const QDBusMessage& call, std::function<void(const QDBusMessage& reply)> answer) {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                answer(finished->reply());
            });
}

void PanelAppearance::readPortal(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << kAppearanceGroup << kColorSchemeKey;
    callLater(call, [this, method](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            // Portals before version 2 only have Read; when there is no portal, it fails the same way.
            if (method == QLatin1String("ReadOne")) readPortal(QStringLiteral("Read"));
            return;
        }
        if (reply.arguments().isEmpty()) return;
        PanelFacts next = facts_;
        next.colorScheme = colorSchemeFrom(reply.arguments().constFirst());
        update(next);
    });
}

// The bus daemon itself answers these, at once.
void PanelAppearance::findPanel() {
    PanelKind panel = panelFromDesktopNames(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
    for (const PanelBusName& candidate : kPanelBusNames)
        if (bus_.interface()->isServiceRegistered(QString::fromLatin1(candidate.name))) {
            panel = candidate.kind;
            break;
        }
    if (panel != facts_.panel) {
        PanelFacts next = facts_;
        next.panel = panel;
        next.xfceDarkMode.reset();
        next.panelBackground.reset();
        update(next);
    }
    followPanel();
}

void PanelAppearance::followPanel() {
    switch (facts_.panel) {
        case PanelKind::Xfce:
            if (!bus_.isConnected()) return;
            if (!followsXfconf_) {
                bus_.connect(kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyChanged"), this,
                             SLOT(xfconfChanged(QString, QString, QDBusVariant)));
                bus_.connect(kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyRemoved"), this,
                             SLOT(xfconfRemoved(QString, QString)));
                followsXfconf_ = true;
            }
            readXfconf();
            break;
        case PanelKind::Plasma:
            // A new colour scheme is announced on the bus; a new Plasma theme only shows in plasmarc.
            if (bus_.isConnected() && !followsKdeSignals_) {
                bus_.connect(QString(), QStringLiteral("/kdeglobals"), QStringLiteral("org.kde.kconfig.notify"),
                             QStringLiteral("ConfigChanged"), this, SLOT(desktopFilesChanged()));
                bus_.connect(QString(), QStringLiteral("/KGlobalSettings"), QStringLiteral("org.kde.KGlobalSettings"),
                             QStringLiteral("notifyChange"), this, SLOT(desktopFilesChanged()));
                followsKdeSignals_ = true;
            }
            watchFiles({QStringLiteral("plasmarc"), QStringLiteral("kdeglobals")});
            readPanelFiles();
            break;
        case PanelKind::Lxqt:
            watchFiles({QStringLiteral("lxqt/lxqt.conf"), QStringLiteral("lxqt/panel.conf")});
            readPanelFiles();
            break;
        case PanelKind::Gnome:
        case PanelKind::Unknown: break;
    }
}

void PanelAppearance::readXfconf() {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("GetProperty"));
    call << kXfcePanelChannel << kXfceDarkMode;
    callLater(call, [this](const QDBusMessage& reply) {
        PanelFacts next = facts_;
        // An unset property is an error reply: the panel's default holds.
        next.xfceDarkMode = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                                ? darkModeFrom(reply.arguments().constFirst())
                                : std::nullopt;
        update(next);
    });
}

void PanelAppearance::xfconfChanged(const QString& channel, const QString& property, const QDBusVariant& value) {
    if (channel != kXfcePanelChannel || property != kXfceDarkMode) return;
    PanelFacts next = facts_;
    next.xfceDarkMode = darkModeFrom(value.variant());
    update(next);
}

void PanelAppearance::xfconfRemoved(const QString& channel, const QString& property) {
    if (channel != kXfcePanelChannel || property != kXfceDarkMode) return;
    PanelFacts next = facts_;
    next.xfceDarkMode.reset();
    update(next);
}

// The user's copies of the files, and their folders: a file that is not there yet shows up there.
// A folder that is not there yet either shows up in the configuration folder itself.
void PanelAppearance::watchFiles(const QStringList& names) {
    if (!files_) {
        files_ = new QFileSystemWatcher(this);
        connect(files_, &QFileSystemWatcher::fileChanged, this, &PanelAppearance::desktopFilesChanged);
        connect(files_, &QFileSystemWatcher::directoryChanged, this, &PanelAppearance::desktopFilesChanged);
    }
    const QDir configHome(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    QStringList paths;
    for (const QString& name : names) {
        const QFileInfo file(configHome.filePath(name));
        paths << (QFileInfo(file.absolutePath()).isDir() ? file.absolutePath() : configHome.absolutePath());
        if (file.isFile()) paths << file.absoluteFilePath();
    }
    paths.removeDuplicates();
    const QStringList watched = files_->files() + files_->directories();
    for (const QString& path : paths)
        if (!watched.contains(path) && QFileInfo::exists(path)) files_->addPath(path);
}

void PanelAppearance::desktopFilesChanged() {
    if (facts_.panel == PanelKind::Plasma || facts_.panel == PanelKind::Lxqt) followPanel();
}

void PanelAppearance::readPanelFiles() {
    const QStringList configDirs = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    const QStringList dataDirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    PanelFacts next = facts_;
    if (facts_.panel == PanelKind::Plasma) next.panelBackground = plasmaPanelBackground(configDirs, dataDirs);
    if (facts_.panel == PanelKind::Lxqt) next.panelBackground = lxqtPanelBackground(configDirs, dataDirs);
    update(next);
}

void PanelAppearance::update(const PanelFacts& facts) {
    if (facts == facts_) return;
    facts_ = facts;
    Q_EMIT changed();
}

}  // namespace nubrio::linux_platform
