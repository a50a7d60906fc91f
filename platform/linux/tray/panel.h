#pragma once
// What the panel that shows the status item publishes about its looks: which desktop's panel it is,
// and the colour behind the icon where that desktop says it (Plasma's theme and colour scheme,
// LXQt's theme and panel settings, an XEmbed tray's published colours or its pixels).
#include <QAbstractNativeEventFilter>
#include <QColor>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace nubrio::linux_platform {

enum class PanelKind { Unknown, Xfce, Plasma, Gnome, Lxqt };

// The well-known bus names of the panels that own one; the first owned decides.
struct PanelBusName {
    const char* name;
    PanelKind kind;
};
extern const PanelBusName kPanelBusNames[3];

// The first desktop of XDG_CURRENT_DESKTOP (a colon-separated list) that has a known panel.
PanelKind panelFromDesktopNames(const QString& currentDesktop);

// WCAG 2 relative luminance and contrast ratio (1 to 21).
double relativeLuminance(const QColor& colour);
double contrastRatio(const QColor& a, const QColor& b);

// A value as KDE writes colours: "r,g,b" or "r,g,b,a" (0–255), or a colour name.
std::optional<QColor> kdeColour(const QString& value);

// The value of `key` in `[group]` of the first of these KConfig/INI files that has it (user files
// come first in the XDG order, and override the system's).
std::optional<QString> iniValue(const QStringList& files, const QString& group, const QString& key);

// Plasma paints its panel in the Plasma theme's Window background colour: the theme's own `colors`
// file when it has one (breeze-dark, breeze-light, oxygen), else the colour scheme in kdeglobals,
// else KDE's built-in Breeze. `configDirs` and `dataDirs` in XDG order, user folder first.
QColor plasmaPanelBackground(const QStringList& configDirs, const QStringList& dataDirs);

// LXQt paints its panel as the chosen theme's lxqt-panel.qss says (#BackgroundWidget), unless the
// panel's own settings give a colour; palette() roles there come from lxqt.conf's [Palette].
QColor lxqtPanelBackground(const QStringList& configDirs, const QStringList& dataDirs);

// The colour of a Qt style sheet background value: a colour, rgb()/rgba(), palette(role), or a
// gradient, whose stops are averaged. `window` and `text` stand for palette(window) and palette(text).
std::optional<QColor> qssBackgroundColour(const QString& value, const QColor& window, const QColor& text);

// _NET_SYSTEM_TRAY_COLORS: foreground, error, warning and success as 16-bit r, g, b; the foreground
// is the colour the tray wants symbolic icons in.
std::optional<QColor> trayForegroundFrom(const std::vector<std::uint32_t>& cardinals);

// The tray's colour behind an icon: the average of `shot` (what the screen shows where the icon is)
// over the pixels that `coverage` (the icon as painted there, same size) leaves clear, keeping a
// pixel's distance from its antialiased edges. None when too few are clear.
std::optional<QColor> backgroundBehind(const QImage& shot, const QImage& coverage);

// The XEmbed tray of the X screen (the owner of _NET_SYSTEM_TRAY_S<n>) and the colours it publishes,
// followed through the X events that Qt receives: a new tray, or new colours, says changed(). Does
// nothing off X11.
class XEmbedTray final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    XEmbedTray();
    ~XEmbedTray() override;

    bool hasTray() const { return owner_ != 0; }
    std::optional<QColor> foreground() const { return foreground_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // Another tray took over (the icon is docked anew) or there is none now.
    void trayChanged();
    void coloursChanged();

private:
    void findTray();
    void readColours();

    void* connection_ = nullptr;  // xcb_connection_t
    std::uint32_t root_ = 0, owner_ = 0;
    std::uint32_t selection_ = 0, colours_ = 0, manager_ = 0;
    std::optional<QColor> foreground_;
};

}  // namespace nubrio::linux_platform
