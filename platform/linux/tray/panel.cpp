#include "platform/linux/tray/panel.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTextStream>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace nubrio::linux_platform {

const PanelBusName kPanelBusNames[3] = {
    {"org.xfce.Panel", PanelKind::Xfce},
    {"org.kde.plasmashell", PanelKind::Plasma},
    {"org.gnome.Shell", PanelKind::Gnome},
};

namespace {

// KDE's built-in colour scheme (Breeze) when kdeglobals says nothing: its Window background.
const QColor kBreezeWindow(239, 240, 241);
// Qt's Fusion palette, which LXQt's panel shows when lxqt.conf gives none.
const QColor kFusionWindow(0xef, 0xef, 0xef);
const QColor kFusionText(Qt::black);

QStringList existingFiles(const QStringList& dirs, const QString& name) {
    QStringList files;
    for (const QString& dir : dirs) {
        const QString path = QDir(dir).filePath(name);
        if (QFileInfo(path).isFile()) files << path;
    }
    return files;
}

QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

double channel(int value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

}  // namespace

PanelKind panelFromDesktopNames(const QString& currentDesktop) {
    for (const QString& name : currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString desktop = name.trimmed().toLower();
        if (desktop == QLatin1String("xfce")) return PanelKind::Xfce;
        if (desktop == QLatin1String("kde")) return PanelKind::Plasma;
        if (desktop == QLatin1String("gnome")) return PanelKind::Gnome;
        if (desktop == QLatin1String("lxqt")) return PanelKind::Lxqt;
    }
    return PanelKind::Unknown;
}

double relativeLuminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.red()) + 0.7152 * channel(rgb.green()) + 0.0722 * channel(rgb.blue());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::optional<QColor> kdeColour(const QString& value) {
    const QStringList parts = value.split(QLatin1Char(','));
    if (parts.size() == 3 || parts.size() == 4) {
        int rgb[3];
        for (int i = 0; i < 3; ++i) {
            bool ok = false;
            rgb[i] = parts[i].trimmed().toInt(&ok);
            if (!ok || rgb[i] < 0 || rgb[i] > 255) return std::nullopt;
        }
        return QColor(rgb[0], rgb[1], rgb[2]);
    }
    const QColor named = QColor::fromString(value.trimmed());
    if (!named.isValid()) return std::nullopt;
    return named;
}

std::optional<QString> iniValue(const QStringList& files, const QString& group, const QString& key) {
    const QString header = QLatin1Char('[') + group + QLatin1Char(']');
    for (const QString& path : files) {
        const QString text = readText(path);
        bool inGroup = false;
        for (QString line : text.split(QLatin1Char('\n'))) {
            line = line.trimmed();
            if (line.startsWith(QLatin1Char('['))) {
                inGroup = line == header;
                continue;
            }
            if (!inGroup) continue;
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals <= 0) continue;
            // KConfig marks keys with flags such as Key[$e]; the bare name is what counts.
            QString name = line.left(equals).trimmed();
            if (name.endsWith(QLatin1String("[$e]")) || name.endsWith(QLatin1String("[$i]"))) name.chop(4);
            if (name == key) return line.mid(equals + 1).trimmed();
        }
    }
    return std::nullopt;
}

QColor plasmaPanelBackground(const QStringList& configDirs, const QStringList& dataDirs) {
    const QString theme =
        iniValue(existingFiles(configDirs, QStringLiteral("plasmarc")), QStringLiteral("Theme"), QStringLiteral("name"))
            .value_or(QStringLiteral("default"));
    const QString window = QStringLiteral("Colors:Window"), background = QStringLiteral("BackgroundNormal");
    if (!theme.contains(QLatin1Char('/'))) {
        for (const QString& dir : dataDirs) {
            const QDir themeDir(QDir(dir).filePath(QStringLiteral("plasma/desktoptheme/") + theme));
            if (!themeDir.exists()) continue;
            // A theme without colours of its own follows the colour scheme.
            if (const auto value = iniValue({themeDir.filePath(QStringLiteral("colors"))}, window, background))
                if (const auto colour = kdeColour(*value)) return *colour;
            break;
        }
    }
    if (const auto value = iniValue(existingFiles(configDirs, QStringLiteral("kdeglobals")), window, background))
        if (const auto colour = kdeColour(*value)) return *colour;
    return kBreezeWindow;
}

std::optional<QColor> qssBackgroundColour(const QString& value, const QColor& window, const QColor& text) {
    static const QRegularExpression token(
        QStringLiteral(
            R"((#[0-9a-fA-F]{3,8})\b|rgba?\(\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)[^)]*\)|palette\(\s*([a-z-]+)\s*\))"),
        QRegularExpression::CaseInsensitiveOption);
    int red = 0, green = 0, blue = 0, count = 0;
    auto add = [&](const QColor& colour) {
        red += colour.red();
        green += colour.green();
        blue += colour.blue();
        ++count;
    };
    for (auto match = token.globalMatch(value); match.hasNext();) {
        const auto found = match.next();
        if (!found.captured(1).isEmpty()) {
            const QColor colour = QColor::fromString(found.captured(1));
            if (colour.isValid()) add(colour);
        } else if (!found.captured(5).isEmpty()) {
            const QString role = found.captured(5).toLower();
            const bool dark = role == QLatin1String("text") || role == QLatin1String("window-text") ||
                              role == QLatin1String("windowtext") || role == QLatin1String("button-text") ||
                              role == QLatin1String("dark") || role == QLatin1String("shadow");
            add(dark ? text : window);
        } else {
            // The alpha is left out: over an unknown wallpaper the colour's own tone is the best guess.
            add(QColor(std::min(found.captured(2).toInt(), 255), std::min(found.captured(3).toInt(), 255),
                       std::min(found.captured(4).toInt(), 255)));
        }
    }
    if (count == 0) {
        const QColor named = QColor::fromString(value.trimmed());
        if (!named.isValid() || named.alpha() == 0) return std::nullopt;
        return named;
    }
    return QColor(red / count, green / count, blue / count);
}

QColor lxqtPanelBackground(const QStringList& configDirs, const QStringList& dataDirs) {
    // The panel's own colour, set in its settings, comes before the theme.
    const QStringList panelFiles = existingFiles(configDirs, QStringLiteral("lxqt/panel.conf"));
    if (!panelFiles.isEmpty()) {
        QSettings panel(panelFiles.front(), QSettings::IniFormat);
        const QStringList panels = panel.value(QStringLiteral("panels")).toStringList();
        for (const QString& name : panels) {
            const QVariant value = panel.value(name + QStringLiteral("/background-color"));
            QColor colour = value.value<QColor>();
            if (!colour.isValid() && value.metaType() == QMetaType::fromType<QString>())
                colour = QColor::fromString(value.toString());
            if (colour.isValid()) return colour;
        }
    }

    const QStringList lxqtFiles = existingFiles(configDirs, QStringLiteral("lxqt/lxqt.conf"));
    const QColor window = QColor::fromString(
        iniValue(lxqtFiles, QStringLiteral("Palette"), QStringLiteral("window_color")).value_or(QString()));
    const QColor text = QColor::fromString(
        iniValue(lxqtFiles, QStringLiteral("Palette"), QStringLiteral("text_color")).value_or(QString()));
    const QColor paletteWindow = window.isValid() ? window : kFusionWindow;
    const QColor paletteText = text.isValid() ? text : kFusionText;

    const auto theme = iniValue(lxqtFiles, QStringLiteral("General"), QStringLiteral("theme"));
    if (theme && !theme->isEmpty()) {
        static const QRegularExpression rule(QStringLiteral(R"(#BackgroundWidget\s*\{([^}]*)\})"));
        static const QRegularExpression declaration(QStringLiteral(R"((?:^|;)\s*background(?:-color)?\s*:\s*([^;]+))"));
        for (const QString& dir : dataDirs) {
            const QString qss =
                readText(QDir(dir).filePath(QStringLiteral("lxqt/themes/%1/lxqt-panel.qss").arg(*theme)));
            if (qss.isEmpty()) continue;
            const auto body = rule.match(qss);
            if (!body.hasMatch()) break;
            const auto background = declaration.match(body.captured(1));
            if (!background.hasMatch()) break;
            if (const auto colour = qssBackgroundColour(background.captured(1), paletteWindow, paletteText))
                return *colour;
            break;
        }
    }
    // No theme, or one that leaves the panel alone: the panel shows the palette's window colour.
    return paletteWindow;
}

std::optional<QColor> trayForegroundFrom(const std::vector<std::uint32_t>& cardinals) {
    if (cardinals.size() < 3) return std::nullopt;
    auto eight = [](std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, 0xffff) >> 8); };
    return QColor(eight(cardinals[0]), eight(cardinals[1]), eight(cardinals[2]));
}

std::optional<QColor> backgroundBehind(const QImage& shot, const QImage& coverage) {
    if (shot.isNull() || shot.size() != coverage.size()) return std::nullopt;
    const QImage screen = shot.convertToFormat(QImage::Format_RGB32);
    const QImage mask = coverage.convertToFormat(QImage::Format_ARGB32);
    const int width = mask.width(), height = mask.height();
    auto clear = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if (nx >= 0 && ny >= 0 && nx < width && ny < height && qAlpha(mask.pixel(nx, ny)) != 0) return false;
            }
        return true;
    };
    long long red = 0, green = 0, blue = 0, count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (!clear(x, y)) continue;
            const QRgb pixel = screen.pixel(x, y);
            red += qRed(pixel);
            green += qGreen(pixel);
            blue += qBlue(pixel);
            ++count;
        }
    if (count < 8 || count * 20 < static_cast<long long>(width) * height) return std::nullopt;
    return QColor(static_cast<int>(red / count), static_cast<int>(green / count), static_cast<int>(blue / count));
}

namespace {

xcb_atom_t intern(xcb_connection_t* connection, const QByteArray& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, name.size(), name.constData()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Adds to the events this client gets from a window, keeping the ones Qt already asked for; a window
// that has gone meanwhile is no error worth reporting.
void addEvents(xcb_connection_t* connection, xcb_window_t window, std::uint32_t events) {
    xcb_generic_error_t* error = nullptr;
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), &error), &std::free);
    std::free(error);
    if (!attributes) return;
    const std::uint32_t mask = attributes->your_event_mask | events;
    std::free(xcb_request_check(connection,
                                xcb_change_window_attributes_checked(connection, window, XCB_CW_EVENT_MASK, &mask)));
}

int screenNumber() {
    const QString display = qEnvironmentVariable("DISPLAY");
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    const qsizetype dot = display.indexOf(QLatin1Char('.'), colon);
    return colon >= 0 && dot > colon ? display.mid(dot + 1).toInt() : 0;
}

}  // namespace

XEmbedTray::XEmbedTray() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    auto* connection = x11->connection();
    connection_ = connection;
    const int screen = screenNumber();
    xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; roots.rem && i < screen; ++i) xcb_screen_next(&roots);
    if (!roots.rem) return;
    root_ = roots.data->root;
    selection_ = intern(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen));
    colours_ = intern(connection, "_NET_SYSTEM_TRAY_COLORS");
    manager_ = intern(connection, "MANAGER");
    // A new tray announces itself to the root window with a MANAGER message.
    addEvents(connection, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    QCoreApplication::instance()->installNativeEventFilter(this);
    findTray();
}

XEmbedTray::~XEmbedTray() {
    if (connection_ && QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

void XEmbedTray::findTray() {
    auto* connection = static_cast<xcb_connection_t*>(connection_);
    owner_ = 0;
    foreground_.reset();
    if (!connection || selection_ == XCB_ATOM_NONE) return;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection_), nullptr),
        &std::free);
    if (!reply || reply->owner == XCB_WINDOW_NONE) return;
    owner_ = reply->owner;
    addEvents(connection, owner_, XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    readColours();
}

void XEmbedTray::readColours() {
    auto* connection = static_cast<xcb_connection_t*>(connection_);
    foreground_.reset();
    if (!connection || !owner_ || colours_ == XCB_ATOM_NONE) return;
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, owner_, colours_, XCB_ATOM_CARDINAL, 0, 12),
                               nullptr),
        &std::free);
    if (!reply || reply->format != 32) return;
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    foreground_ =
        trayForegroundFrom(std::vector<std::uint32_t>(values, values + xcb_get_property_value_length(reply.get()) / 4));
}

bool XEmbedTray::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !message) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // Handled after Qt is done with the event, so a repaint never runs inside its X event handling.
    auto later = [this](void (XEmbedTray::*signal)(), bool findAgain) {
        QMetaObject::invokeMethod(
            this,
            [this, signal, findAgain] {
                if (findAgain)
                    findTray();
                else
                    readColours();
                Q_EMIT(this->*signal)();
            },
            Qt::QueuedConnection);
    };
    switch (event->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (owner_ && property->window == owner_ && property->atom == colours_)
                later(&XEmbedTray::coloursChanged, false);
            break;
        }
        case XCB_CLIENT_MESSAGE: {
            const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (client->window == root_ && client->type == manager_ && client->format == 32 &&
                client->data.data32[1] == selection_)
                later(&XEmbedTray::trayChanged, true);
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (owner_ && destroyed->window == owner_) later(&XEmbedTray::trayChanged, true);
            break;
        }
        default: break;
    }
    return false;
}

}  // namespace nubrio::linux_platform
