#include "platform/linux/tray/panel_look.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <algorithm>

#include "platform/linux/base/xdg_dirs.h"

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
        panelNames_ = std::make_unique<QDBusServiceWatcher>();
        panelNames_->setConnection(bus_);
        panelNames_->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        panelNames_->setWatchedServices(names);
        connect(panelNames_.get(), &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { findPanel(); });
        findPanel();
    } else {
        followPanel();
    }
}

// A signal of the bus and the slot it goes to.
struct BusSignal {
    QString service, path, interface, name;
    const char* slot;
};

namespace {

std::vector<BusSignal> xfconfSignals() {
    return {{kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyChanged"),
             SLOT(xfconfChanged(QString, QString, QDBusVariant))},
            {kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("PropertyRemoved"),
             SLOT(xfconfRemoved(QString, QString))}};
}

// A new colour scheme is announced on the bus; a new Plasma theme only shows in plasmarc.
std::vector<BusSignal> kdeSignals() {
    return {{QString(), QStringLiteral("/kdeglobals"), QStringLiteral("org.kde.kconfig.notify"),
             QStringLiteral("ConfigChanged"), SLOT(desktopFilesChanged())},
            {QString(), QStringLiteral("/KGlobalSettings"), QStringLiteral("org.kde.KGlobalSettings"),
             QStringLiteral("notifyChange"), SLOT(desktopFilesChanged())}};
}

}  // namespace

void PanelAppearance::follow(const std::vector<BusSignal>& busSignals, bool on) {
    for (const BusSignal& signal : busSignals) {
        if (on)
            bus_.connect(signal.service, signal.path, signal.interface, signal.name, this, signal.slot);
        else
            bus_.disconnect(signal.service, signal.path, signal.interface, signal.name, this, signal.slot);
    }
}

PanelAppearance::~PanelAppearance() {
    if (!bus_.isConnected()) return;
    bus_.disconnect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                    SLOT(settingChanged(QString, QString, QDBusVariant)));
    if (followsXfconf_) follow(xfconfSignals(), false);
    if (followsKdeSignals_) follow(kdeSignals(), false);
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
    hostWatcher_ =
        std::make_unique<QDBusServiceWatcher>(kWatcherService, bus_, QDBusServiceWatcher::WatchForRegistration);
    connect(hostWatcher_.get(), &QDBusServiceWatcher::serviceRegistered, this, [this] { statusNotifierHostRegistered_(); });
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
            change([&](PanelFacts& next) { next.trayForeground = xembedTray_->foreground(); });
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
    change([&](PanelFacts& next) { next.trayBackground = colour; });
}

void PanelAppearance::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group != kAppearanceGroup || key != kColorSchemeKey) return;
    change([&](PanelFacts& next) { next.colorScheme = colorSchemeFrom(value.variant()); });
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
        change([&](PanelFacts& next) { next.colorScheme = colorSchemeFrom(reply.arguments().constFirst()); });
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
                follow(xfconfSignals(), true);
                followsXfconf_ = true;
            }
            readXfconf();
            break;
        case PanelKind::Plasma:
            if (bus_.isConnected() && !followsKdeSignals_) {
                follow(kdeSignals(), true);
                followsKdeSignals_ = true;
            }
            readPanelFiles();
            watchFiles();
            break;
        case PanelKind::Lxqt:
            readPanelFiles();
            watchFiles();
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
    change([&](PanelFacts& next) { next.xfceDarkMode = darkModeFrom(value.variant()); });
}

void PanelAppearance::xfconfRemoved(const QString& channel, const QString& property) {
    if (channel != kXfcePanelChannel || property != kXfceDarkMode) return;
    change([&](PanelFacts& next) { next.xfceDarkMode.reset(); });
}

namespace {

QString text(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// The user's folder first, then the system's, as the desktops look settings up.
QStringList searchPath(const std::filesystem::path& user, const std::vector<std::filesystem::path>& system) {
    QStringList folders{text(user)};
    for (const std::filesystem::path& folder : system) folders << text(folder);
    return folders;
}

QStringList configSearchPath() { return searchPath(userConfigHome(), systemConfigDirs()); }
QStringList dataSearchPath() { return searchPath(userDataHome(), systemDataDirs()); }

}  // namespace

QStringList PanelAppearance::panelFiles() const {
    const QDir configHome(text(userConfigHome()));
    switch (facts_.panel) {
        case PanelKind::Plasma: {
            QStringList files{configHome.filePath(QStringLiteral("plasmarc")),
                              configHome.filePath(QStringLiteral("kdeglobals"))};
            const QString themeColours = plasmaThemeColours(configSearchPath(), dataSearchPath());
            if (!themeColours.isEmpty()) files << themeColours;
            return files;
        }
        case PanelKind::Lxqt:
            return {configHome.filePath(QStringLiteral("lxqt/lxqt.conf")),
                    configHome.filePath(QStringLiteral("lxqt/panel.conf"))};
        case PanelKind::Xfce:
        case PanelKind::Gnome:
        case PanelKind::Unknown: break;
    }
    return {};
}

// The files themselves, so that saving other settings wakes nothing. A file that is not there yet
// is waited for in its folder (or the nearest folder that is there), which is only re-read for
// when one of the missing files has appeared.
void PanelAppearance::watchFiles() {
    if (!files_) {
        files_ = std::make_unique<QFileSystemWatcher>();
        connect(files_.get(), &QFileSystemWatcher::fileChanged, this, &PanelAppearance::desktopFilesChanged);
        connect(files_.get(), &QFileSystemWatcher::directoryChanged, this, [this] {
            if (std::any_of(missingFiles_.begin(), missingFiles_.end(),
                            [](const QString& file) { return QFileInfo(file).isFile(); }))
                desktopFilesChanged();
        });
    }
    QStringList paths;
    missingFiles_.clear();
    for (const QString& name : panelFiles()) {
        const QFileInfo file(name);
        if (file.isFile()) {
            paths << file.absoluteFilePath();
            continue;
        }
        missingFiles_ << file.absoluteFilePath();
        QDir folder = file.absoluteDir();
        while (!folder.exists() && folder.cdUp()) {
        }
        paths << folder.absolutePath();
    }
    paths.removeDuplicates();
    const QStringList watched = files_->files() + files_->directories();
    for (const QString& path : watched)
        if (!paths.contains(path)) files_->removePath(path);
    for (const QString& path : paths)
        if (!watched.contains(path) && QFileInfo::exists(path)) files_->addPath(path);
}

void PanelAppearance::desktopFilesChanged() {
    if (facts_.panel == PanelKind::Plasma || facts_.panel == PanelKind::Lxqt) followPanel();
}

void PanelAppearance::readPanelFiles() {
    const QStringList configDirs = configSearchPath(), dataDirs = dataSearchPath();
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
