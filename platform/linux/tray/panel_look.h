#pragma once
// The look of the panel behind the status item, followed where each desktop publishes it (the
// settings portal, Xfce's xfconf, Plasma's signals and files, LXQt's files, an XEmbed tray), and the
// colour a template image takes there. Whether a StatusNotifierItem host is on the bus, too.
#include <QColor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/tray/panel_themes.h"
#include "platform/linux/tray/xembed_tray.h"

class QDBusServiceWatcher;
class QDBusVariant;
class QFileSystemWatcher;

namespace nubrio::linux_platform {

struct BusSignal;

// The freedesktop appearance setting "color-scheme": 0 no preference, 1 prefer dark, 2 prefer light.
struct ColorScheme {
    static constexpr unsigned NoPreference = 0, PreferDark = 1, PreferLight = 2;
};

// What is known about the panel behind the status item, each from where its desktop publishes it.
struct PanelFacts {
    PanelKind panel = PanelKind::Unknown;
    // Qt embeds the icon in an XEmbed tray (no StatusNotifierItem host was on the bus at start).
    bool xembed = false;
    // Xfce: /panels/dark-mode in the xfce4-panel channel; unset means the panel's default, dark.
    std::optional<bool> xfceDarkMode;
    // Plasma's and LXQt's panel colour, from their settings.
    std::optional<QColor> panelBackground;
    // The foreground colour that an XEmbed tray publishes (_NET_SYSTEM_TRAY_COLORS).
    std::optional<QColor> trayForeground;
    // What an XEmbed tray shows behind the icon, read off the screen.
    std::optional<QColor> trayBackground;
    // The settings portal's color-scheme.
    std::optional<unsigned> colorScheme;

    bool operator==(const PanelFacts&) const = default;
};

// A tray does not tint a mask the way the macOS menu bar does, so a template image is painted in
// this colour, chosen for the panel behind the icon and not for the application's windows.
QColor templateColour(const PanelFacts& facts);

// Of the light and the dark icon colour, the one that stands out more on `background`.
QColor iconColourOn(const QColor& background);

// Follows what the panel behind the status item publishes about its looks (see PanelFacts), and says
// when the template colour may have changed. The panel is the one whose well-known name is on `bus`,
// else the one XDG_CURRENT_DESKTOP names.
class PanelAppearance final : public QObject {
    Q_OBJECT
public:
    // The QGuiApplication must exist. Services that may be slow are asked asynchronously: until they
    // answer (or when they are absent) the fallbacks decide.
    explicit PanelAppearance(QDBusConnection bus = QDBusConnection::sessionBus());
    ~PanelAppearance() override;

    const PanelFacts& facts() const { return facts_; }
    std::optional<unsigned> colorScheme() const { return facts_.colorScheme; }
    QColor iconColour() const { return templateColour(facts_); }

    // Whether Qt shows a tray icon made now as a StatusNotifierItem: it does when a watcher with a
    // registered host is on the bus, and embeds it in an XEmbed tray otherwise.
    bool statusNotifierHostRegistered() const;
    // Emits statusNotifierHostAppeared once a watcher with a registered host is on the bus.
    void watchForStatusNotifierHost();
    // From now on the icon sits in the screen's XEmbed tray, whose published colours are followed.
    void followXEmbedTray();
    XEmbedTray* xembedTray() const { return xembedTray_.get(); }
    // The colour that the XEmbed tray shows behind the icon, as seen on the screen.
    void setXEmbedBackground(std::optional<QColor> colour);

Q_SIGNALS:
    void changed();
    void statusNotifierHostAppeared();

private Q_SLOTS:
    void statusNotifierHostRegistered_();
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);
    void xfconfChanged(const QString& channel, const QString& property, const QDBusVariant& value);
    void xfconfRemoved(const QString& channel, const QString& property);
    void desktopFilesChanged();

private:
    // Connects this object to those signals, or disconnects it.
    void follow(const std::vector<BusSignal>& busSignals, bool on);
    void callLater(const QDBusMessage& call, std::function<void(const QDBusMessage& reply)> answer);
    void readPortal(const QString& method);
    void findPanel();
    void followPanel();
    void readXfconf();
    // The settings files that decide the look of the panel found, the user's.
    QStringList panelFiles() const;
    void watchFiles();
    void readPanelFiles();
    void update(const PanelFacts& facts);
    // Updates the facts as `edit` changes a copy of them.
    template <typename Edit>
    void change(Edit edit) {
        PanelFacts next = facts_;
        edit(next);
        update(next);
    }

    QDBusConnection bus_;
    PanelFacts facts_;
    std::unique_ptr<QDBusServiceWatcher> panelNames_, hostWatcher_;
    std::unique_ptr<QFileSystemWatcher> files_;
    QStringList missingFiles_;
    bool followsXfconf_ = false, followsKdeSignals_ = false, watchesHosts_ = false;
    std::unique_ptr<XEmbedTray> xembedTray_;
};

}  // namespace nubrio::linux_platform
