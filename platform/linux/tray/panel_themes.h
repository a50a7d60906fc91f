#pragma once
// The desktops' panels and their themes, read from their settings files: which desktop's panel it
// is, and the colour it is painted in (Plasma's theme and colour scheme, LXQt's theme and panel
// settings); the contrast of an icon colour against it.
#include <QColor>
#include <QStringList>
#include <optional>

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

// The value of `key` in `[group]` of the first of these KConfig files that has it (user files come
// first in the XDG order, and override the system's). LXQt's lxqt.conf is read the same way.
// KConfig is not GKeyFile's format: flagged keys (Key[$e]), group flags ([Group][$i]) and lines
// KConfig skips make GKeyFile refuse the whole file.
std::optional<QString> kconfigValue(const QStringList& files, const QString& group, const QString& key);

// The colours file of the Plasma theme chosen in plasmarc, when that theme has colours of its own;
// empty otherwise.
QString plasmaThemeColours(const QStringList& configDirs, const QStringList& dataDirs);

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

}  // namespace nubrio::linux_platform
