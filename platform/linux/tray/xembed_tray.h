#pragma once
// The XEmbed tray of an X screen: the colours it publishes for icons, and the colour it shows behind
// ours, read off the screen.
#include <QAbstractNativeEventFilter>
#include <QColor>
#include <QImage>
#include <QObject>
#include <cstdint>
#include <optional>
#include <vector>

namespace nubrio::linux_platform {

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
