#include "platform/linux/status_bar_linux.h"

#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <stdexcept>

namespace nubrio::linux_platform {

LinuxStatusButton::LinuxStatusButton(QSystemTrayIcon& tray, std::shared_ptr<PanelAppearance> appearance)
    : tray_(tray), appearance_(std::move(appearance)) {
    appearanceChanged_ = QObject::connect(appearance_.get(), &PanelAppearance::changed, &tray_, [this] { repaint(); });
    repaint();
}

LinuxStatusButton::~LinuxStatusButton() { QObject::disconnect(appearanceChanged_); }

void LinuxStatusButton::setImage(const platform::Image& image) {
    image_ = image;
    repaint();
}

void LinuxStatusButton::setToolTip(const std::string& toolTip) { tray_.setToolTip(QString::fromStdString(toolTip)); }

// A new icon, so both tray paths notice the change (the StatusNotifierItem sends NewIcon).
void LinuxStatusButton::repaint() { tray_.setIcon(QIcon(new StatusIconEngine(image_, appearance_->iconColour()))); }

LinuxStatusItem::LinuxStatusItem(std::shared_ptr<PanelAppearance> appearance)
    : tray_(std::make_unique<QSystemTrayIcon>()),
      button_(std::make_unique<LinuxStatusButton>(*tray_, std::move(appearance))) {
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
    tray_->show();
}

LinuxStatusItem::~LinuxStatusItem() = default;

platform::StatusButton* LinuxStatusItem::button() { return button_.get(); }

void LinuxStatusItem::setMenu(std::shared_ptr<platform::Menu> menu) {
    auto linuxMenu = std::dynamic_pointer_cast<LinuxMenu>(menu);
    if (menu && !linuxMenu) throw std::invalid_argument("LinuxStatusItem takes only a LinuxMenu");
    tray_->setContextMenu(linuxMenu ? linuxMenu->qmenu() : nullptr);
    menu_ = std::move(linuxMenu);
}

// The item is all menu, as in the macOS menu bar: a left click opens it too. Qt opens it on a
// right click itself, and StatusNotifierItem hosts show the D-Bus menu; a popup placed at the pointer
// is only right on X11.
void LinuxStatusItem::activated(int reason) {
    if (reason != QSystemTrayIcon::Trigger || !menu_ || menu_->qmenu()->isVisible()) return;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    menu_->qmenu()->popup(QCursor::pos());
}

LinuxStatusBar::LinuxStatusBar() = default;

LinuxStatusBar::~LinuxStatusBar() = default;

std::shared_ptr<platform::StatusItem> LinuxStatusBar::statusItemWithLength(double) {
    if (!appearance_) appearance_ = std::make_shared<PanelAppearance>();
    return std::make_shared<LinuxStatusItem>(appearance_);
}

std::shared_ptr<platform::Menu> LinuxStatusBar::makeMenu() {
    auto menu = std::make_shared<LinuxMenu>();
    menus_.push_back(menu);
    return menu;
}

bool LinuxStatusBar::performMenuCommand(const std::string& selector) {
    for (const std::weak_ptr<LinuxMenu>& weak : menus_)
        if (std::shared_ptr<LinuxMenu> menu = weak.lock(); menu && menu->perform(selector)) return true;
    return false;
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::makeMenuItem(const std::string& title,
                                                                 std::optional<platform::Action> action,
                                                                 const std::string& keyEquivalent) {
    return std::make_shared<LinuxMenuItem>(title, std::move(action), keyEquivalent);
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::makeSeparatorItem() {
    return std::make_shared<LinuxMenuItem>(LinuxMenuItem::Separator{});
}

}  // namespace nubrio::linux_platform
