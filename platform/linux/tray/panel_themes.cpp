#include "platform/linux/tray/panel_themes.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTextStream>
#include <cmath>
#include <string>

#include "platform/linux/base/files.h"

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

// Settings and style sheets are small: a larger file, or one that is no regular file, is not read.
constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;

QString readText(const QString& path) {
    return QString::fromStdString(files::readFile(path.toStdString(), kMaxSettingsBytes).value_or(std::string()));
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

std::optional<QString> kconfigValue(const QStringList& files, const QString& group, const QString& key) {
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

QString plasmaThemeColours(const QStringList& configDirs, const QStringList& dataDirs) {
    const QString theme =
        kconfigValue(existingFiles(configDirs, QStringLiteral("plasmarc")), QStringLiteral("Theme"), QStringLiteral("name"))
            .value_or(QStringLiteral("default"));
    if (theme.contains(QLatin1Char('/'))) return {};
    for (const QString& dir : dataDirs) {
        const QDir themeDir(QDir(dir).filePath(QStringLiteral("plasma/desktoptheme/") + theme));
        if (!themeDir.exists()) continue;
        // A theme without colours of its own follows the colour scheme.
        const QString colours = themeDir.filePath(QStringLiteral("colors"));
        return QFileInfo(colours).isFile() ? colours : QString();
    }
    return {};
}

QColor plasmaPanelBackground(const QStringList& configDirs, const QStringList& dataDirs) {
    const QString window = QStringLiteral("Colors:Window"), background = QStringLiteral("BackgroundNormal");
    const QString themeColours = plasmaThemeColours(configDirs, dataDirs);
    if (!themeColours.isEmpty())
        if (const auto value = kconfigValue({themeColours}, window, background))
            if (const auto colour = kdeColour(*value)) return *colour;
    if (const auto value = kconfigValue(existingFiles(configDirs, QStringLiteral("kdeglobals")), window, background))
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
    // QSettings opens the file itself: only one the bounded reader would read.
    if (!panelFiles.isEmpty() && files::readFile(panelFiles.front().toStdString(), kMaxSettingsBytes)) {
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
        kconfigValue(lxqtFiles, QStringLiteral("Palette"), QStringLiteral("window_color")).value_or(QString()));
    const QColor text = QColor::fromString(
        kconfigValue(lxqtFiles, QStringLiteral("Palette"), QStringLiteral("text_color")).value_or(QString()));
    const QColor paletteWindow = window.isValid() ? window : kFusionWindow;
    const QColor paletteText = text.isValid() ? text : kFusionText;

    const auto theme = kconfigValue(lxqtFiles, QStringLiteral("General"), QStringLiteral("theme"));
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

}  // namespace nubrio::linux_platform
