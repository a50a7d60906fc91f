#pragma once
// The status item as a QSystemTrayIcon: a StatusNotifierItem with a D-Bus menu when a watcher with a
// host is on the session bus, an XEmbed tray icon otherwise. With no tray at all the item waits, and
// appears when a tray does.
#include <QRect>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/tray/after_icon.h"
#include "platform/linux/tray/menu.h"
#include "platform/linux/tray/icon_painting.h"
#include "platform/linux/tray/panel_look.h"
#include "platform/status_bar.h"

class QSystemTrayIcon;
class QTimer;

namespace nubrio::linux_platform {

class MenuItemAdaptor;

// Always present on Linux. The image is repainted in the template colour whenever what the panel
// publishes about its looks changes.
class LinuxStatusButton final : public platform::StatusButton {
public:
    // Without an appearance the button belongs to an item that shows in no tray.
    explicit LinuxStatusButton(std::shared_ptr<PanelAppearance> appearance);
    ~LinuxStatusButton() override;
    LinuxStatusButton(const LinuxStatusButton&) = delete;
    LinuxStatusButton& operator=(const LinuxStatusButton&) = delete;

    void setImage(const platform::Image& image) override;
    void setToolTip(const std::string& toolTip) override;

    // Where the image and tool tip go from now on (they are kept until there is one).
    void attach(QSystemTrayIcon& tray);

    const platform::Image& image() const { return image_; }
    // Calls `painted` once, when a tray first asks for the icon drawn from an image.
    void whenPainted(std::function<void()> painted);
    // The colour the icon is painted in now.
    QColor tint() const { return appearance_ ? appearance_->iconColour() : QColor(Qt::black); }

private:
    void repaint();

    QSystemTrayIcon* tray_ = nullptr;
    std::shared_ptr<PanelAppearance> appearance_;
    platform::Image image_;
    QString toolTip_;
    QMetaObject::Connection appearanceChanged_;
    StatusIconEngine::PaintedHandler painted_ = std::make_shared<std::function<void()>>();
};

class LinuxStatusItem final : public platform::StatusItem {
public:
    // Needs a QApplication. The item is shown at once, with an empty icon until setImage; where Qt can
    // show it only as a StatusNotifierItem (not X11), once a host for it is there. Without an
    // appearance it keeps its image, tool tip and menu and shows in no tray. With `tellIfNoTray`, the
    // user is told once when no tray shows it (no_tray_notice.h).
    explicit LinuxStatusItem(std::shared_ptr<PanelAppearance> appearance, bool tellIfNoTray = true);
    ~LinuxStatusItem() override;
    LinuxStatusItem(const LinuxStatusItem&) = delete;
    LinuxStatusItem& operator=(const LinuxStatusItem&) = delete;

    platform::StatusButton* button() override;
    // Takes a LinuxMenu (std::invalid_argument otherwise) and keeps it: the item owns its menu.
    void setMenu(std::shared_ptr<platform::Menu> menu) override;

    // None while the item waits for a tray.
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    // Whether a tray shows the item now (never offscreen).
    bool shownInTray() const;

    // Calls `shown` once: when a tray has asked for the icon, after `patienceMs` if none has, or at
    // once when no tray is there to ask.
    void whenIconShown(int patienceMs, std::function<void()> shown);

private:
    void showInTray();
    void activated(int reason);
    // XEmbed only: once the tray has placed the icon, reads the tray's colour behind it off the screen.
    void lookBehindIcon();

    std::shared_ptr<PanelAppearance> appearance_;
    std::shared_ptr<LinuxMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    // After tray_: it leaves the bus before Qt's item goes.
    std::unique_ptr<MenuItemAdaptor> menuAdaptor_;
    std::unique_ptr<LinuxStatusButton> button_;
    QMetaObject::Connection hostAppeared_;
    std::unique_ptr<QTimer> placement_;
    std::unique_ptr<QTimer> noTrayNotice_;
    QRect lastGeometry_;
    int placementChecks_ = 0;
};

class LinuxStatusBar final : public platform::StatusBar {
public:
    // Whether its items show in a tray. The check's do not: it has no one to show them to, and a
    // tray is found on the session bus, which a display without a bus would have started for it.
    enum class Tray { Shown, None };

    // May be made before the QApplication; every other call needs it. With `requests`, the commands
    // of its menus run as requests of that queue. With Tray::None nothing of it reaches the session
    // bus or the display.
    explicit LinuxStatusBar(RequestQueue* requests = nullptr, Tray tray = Tray::Shown);
    ~LinuxStatusBar() override;

    std::shared_ptr<platform::StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<platform::Menu> makeMenu() override;
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::optional<platform::Action> action,
                                                     const std::string& keyEquivalent) override;
    std::shared_ptr<platform::MenuItem> makeSeparatorItem() override;

    // Runs a command of the menus made here as choosing it would; false when no menu has it.
    bool performMenuCommand(const std::string& selector);
    // Whether a tray shows one of the items made here, and with it the menu's check marks.
    bool shownInTray() const;

    // Items made from now on do not tell the user that no tray shows them: this program takes the
    // place of one that did so already.
    void quietAboutNoTray() { tellIfNoTray_ = false; }

    // Runs `chore` once the first status item has had the time to show its icon (see AfterIcon).
    void afterFirstItem(std::function<void()> chore) { afterIcon_.add(std::move(chore)); }

    // How long the first item's `shown` waits for a tray to ask for the icon.
    static constexpr int kFirstIconPatienceMs = 200;
    // Makes and shows the first status item with `image` and an empty menu, ahead of whoever asks
    // for them: statusItemWithLength gives that item and makeMenu that menu, once each. `shown` as
    // in LinuxStatusItem::whenIconShown.
    void showFirstItem(const platform::Image& image, std::function<void()> shown);

private:
    std::shared_ptr<LinuxStatusItem> makeItem();

    RequestQueue* requests_;
    Tray trayUse_;
    bool tellIfNoTray_ = true;
    std::vector<std::weak_ptr<LinuxMenu>> menus_;
    std::vector<std::weak_ptr<LinuxStatusItem>> items_;
    std::shared_ptr<LinuxStatusItem> firstItem_;
    std::shared_ptr<LinuxMenu> firstMenu_;
    // One watcher of the desktop's appearance for all items, made with the first.
    std::shared_ptr<PanelAppearance> appearance_;
    AfterIcon afterIcon_;
};

}  // namespace nubrio::linux_platform
