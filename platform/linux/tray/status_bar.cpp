#include "platform/linux/tray/status_bar.h"

#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <stdexcept>
#include <utility>

#include "platform/linux/tray/menu_item_adaptor.h"
#include "platform/linux/tray/no_tray_notice.h"

namespace nubrio::linux_platform {

LinuxStatusButton::LinuxStatusButton(std::shared_ptr<PanelAppearance> appearance)
    : appearance_(std::move(appearance)) {
    if (appearance_)
        appearanceChanged_ = QObject::connect(appearance_.get(), &PanelAppearance::changed, [this] { repaint(); });
}

void LinuxStatusButton::attach(QSystemTrayIcon& tray) {
    tray_ = &tray;
    tray_->setToolTip(toolTip_);
    repaint();
}

LinuxStatusButton::~LinuxStatusButton() {
    QObject::disconnect(appearanceChanged_);
    // Qt may keep a copy of the engine for longer.
    *painted_ = nullptr;
}

namespace {

// The same size, flags and drawing function: drawn alike.
bool sameImage(const platform::Image& a, const platform::Image& b) {
    using Draw = bool (*)(const platform::Rect&, platform::DrawingContext&);
    const Draw* drawA = a.draw.target<Draw>();
    const Draw* drawB = b.draw.target<Draw>();
    return a.width == b.width && a.height == b.height && a.flipped == b.flipped && a.isTemplate == b.isTemplate &&
           drawA && drawB && *drawA == *drawB;
}

}  // namespace

void LinuxStatusButton::setImage(const platform::Image& image) {
    // The item shown ahead of the launch gets its image again: a new icon would only make the
    // tray fetch it once more.
    if (sameImage(image, image_)) return;
    image_ = image;
    repaint();
}

void LinuxStatusButton::whenPainted(std::function<void()> painted) { *painted_ = std::move(painted); }

void LinuxStatusButton::setToolTip(const std::string& toolTip) {
    toolTip_ = QString::fromStdString(toolTip);
    if (tray_) tray_->setToolTip(toolTip_);
}

// A new icon, so both tray paths notice the change (the StatusNotifierItem sends NewIcon).
void LinuxStatusButton::repaint() {
    if (tray_)
        tray_->setIcon(QIcon(new StatusIconEngine(image_, appearance_->iconColour(),
                                                  image_.draw ? painted_ : StatusIconEngine::PaintedHandler())));
}

namespace {

// How often and how long to look for the tray's placement of the icon: trays dock an icon within a
// moment, and once placed it is looked at once, so the timer does not run while the program idles.
constexpr int kPlacementIntervalMs = 250;
constexpr int kPlacementChecks = 40;

}  // namespace

LinuxStatusItem::LinuxStatusItem(std::shared_ptr<PanelAppearance> appearance, bool tellIfNoTray)
    : appearance_(std::move(appearance)), button_(std::make_unique<LinuxStatusButton>(appearance_)) {
    if (!appearance_) return;
    // Qt decides once, at the first tray icon, whether a StatusNotifierItem host is there. On X11 it
    // embeds the icon in an XEmbed tray otherwise, which may appear later; elsewhere (Wayland) that
    // icon would never show, so the item waits for a host, as a panel that starts after the program
    // does at log-in. Offscreen there is nothing to show.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && tellIfNoTray) {
        // Once, a while after the start: the icon of a tray that comes later still appears.
        noTrayNotice_ = std::make_unique<QTimer>();
        noTrayNotice_->setSingleShot(true);
        QObject::connect(noTrayNotice_.get(), &QTimer::timeout, [this] {
            if (!shownInTray()) no_tray_notice::tell();
        });
        noTrayNotice_->start(no_tray_notice::kGraceMs);
    }
    if (platform != QLatin1String("xcb") && platform != QLatin1String("offscreen") &&
        !appearance_->statusNotifierHostRegistered()) {
        hostAppeared_ = QObject::connect(appearance_.get(), &PanelAppearance::statusNotifierHostAppeared, [this] {
            if (!tray_) showInTray();
        });
        appearance_->watchForStatusNotifierHost();
        return;
    }
    showInTray();
}

void LinuxStatusItem::showInTray() {
    // Qt makes the same check as it makes the tray icon, and embeds the icon in an XEmbed tray when
    // no StatusNotifierItem host is there.
    const bool xembed =
        QGuiApplication::platformName() == QLatin1String("xcb") && !appearance_->statusNotifierHostRegistered();
    tray_ = std::make_unique<QSystemTrayIcon>();
    button_->attach(*tray_);
    if (menu_) tray_->setContextMenu(menu_->qmenu());
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
    tray_->show();
    // Hosts then open the menu at the icon on a left click; where the item cannot be taken over,
    // activated() still opens it.
    if (!xembed) menuAdaptor_ = MenuItemAdaptor::takeOver(appearance_->facts().panel == PanelKind::Plasma);
    if (xembed) {
        // After show(): Qt then has found the tray and set the events it wants from the tray's window,
        // which would replace ours if they came first.
        appearance_->followXEmbedTray();
        placement_ = std::make_unique<QTimer>();
        placement_->setInterval(kPlacementIntervalMs);
        QObject::connect(placement_.get(), &QTimer::timeout, tray_.get(), [this] { lookBehindIcon(); });
        auto lookAgain = [this] {
            placementChecks_ = 0;
            lastGeometry_ = QRect();
            placement_->start();
        };
        QObject::connect(appearance_->xembedTray(), &XEmbedTray::trayChanged, tray_.get(), lookAgain);
        lookAgain();
    }
}

// The icon sits where the tray put it once its geometry holds still for one interval. The screen
// there shows the tray's background wherever the icon leaves it clear.
void LinuxStatusItem::lookBehindIcon() {
    const QRect geometry = tray_->geometry();
    const bool settled = geometry.isValid() && geometry == lastGeometry_;
    lastGeometry_ = geometry;
    if (!settled) {
        if (++placementChecks_ >= kPlacementChecks) placement_->stop();
        return;
    }
    placement_->stop();
    QScreen* screen = QGuiApplication::screenAt(geometry.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // Without a window, Qt grabs from the root window at coordinates relative to the screen.
    const QPoint at = geometry.topLeft() - screen->geometry().topLeft();
    const QImage shot = screen->grabWindow(0, at.x(), at.y(), geometry.width(), geometry.height()).toImage();
    const QImage coverage = StatusIconEngine::coverage(button_->image(), shot.size());
    appearance_->setXEmbedBackground(backgroundBehind(shot, coverage));
}

LinuxStatusItem::~LinuxStatusItem() { QObject::disconnect(hostAppeared_); }

bool LinuxStatusItem::shownInTray() const {
    // On X11 Qt's item exists before a tray embeds it; elsewhere it is made once a host is there.
    const QString platform = QGuiApplication::platformName();
    return tray_ && platform != QLatin1String("offscreen") &&
           (platform != QLatin1String("xcb") || QSystemTrayIcon::isSystemTrayAvailable());
}

void LinuxStatusItem::whenIconShown(int patienceMs, std::function<void()> shown) {
    // Offscreen nothing shows the icon; Qt's XEmbed icon waits for a tray to embed it.
    const bool asked = tray_ && QGuiApplication::platformName() != QLatin1String("offscreen") &&
                       (!appearance_->facts().xembed || QSystemTrayIcon::isSystemTrayAvailable());
    if (!asked) {
        shown();
        return;
    }
    auto once = std::make_shared<std::function<void()>>(std::move(shown));
    auto call = [once] {
        if (*once) std::exchange(*once, nullptr)();
    };
    button_->whenPainted(call);
    QTimer::singleShot(patienceMs, tray_.get(), call);
}

platform::StatusButton* LinuxStatusItem::button() { return button_.get(); }

void LinuxStatusItem::setMenu(std::shared_ptr<platform::Menu> menu) {
    auto linuxMenu = std::dynamic_pointer_cast<LinuxMenu>(menu);
    if (menu && !linuxMenu) throw std::invalid_argument("LinuxStatusItem takes only a LinuxMenu");
    if (tray_) tray_->setContextMenu(linuxMenu ? linuxMenu->qmenu() : nullptr);
    menu_ = std::move(linuxMenu);
}

// The item is all menu, as in the macOS menu bar: a left click opens it too. Qt opens it on a
// right click itself, and StatusNotifierItem hosts show the D-Bus menu there; on a left click they
// show it too where they honour ItemIsMenu or Activate's failure (MenuItemAdaptor). What is left
// comes here: a left click on an XEmbed icon, or Activate from another host (LXQt) or where Qt's item
// could not be taken over, gets the menu as a popup of ours. Its place is the pointer's on X11; on
// Wayland a program cannot place a window, so the compositor does.
void LinuxStatusItem::activated(int reason) {
    if (reason != QSystemTrayIcon::Trigger || !menu_ || menu_->qmenu()->isVisible()) return;
    QMenu* menu = menu_->qmenu();
    // Without a window of ours to hang from, Qt makes it a window of its own there: no title bar.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) menu->setWindowFlag(Qt::FramelessWindowHint);
    menu->popup(QCursor::pos());
}

LinuxStatusBar::LinuxStatusBar(RequestQueue* requests, Tray tray) : requests_(requests), trayUse_(tray) {}

LinuxStatusBar::~LinuxStatusBar() = default;

std::shared_ptr<LinuxStatusItem> LinuxStatusBar::makeItem() {
    if (!appearance_ && trayUse_ == Tray::Shown) appearance_ = std::make_shared<PanelAppearance>();
    auto item = std::make_shared<LinuxStatusItem>(appearance_, tellIfNoTray_);
    items_.push_back(item);
    afterIcon_.itemMade();
    return item;
}

std::shared_ptr<platform::StatusItem> LinuxStatusBar::statusItemWithLength(double) {
    if (firstItem_) return std::exchange(firstItem_, nullptr);
    return makeItem();
}

void LinuxStatusBar::showFirstItem(const platform::Image& image, std::function<void()> shown) {
    firstItem_ = makeItem();
    firstItem_->button()->setImage(image);
    // The menu is there from the start: trays read where it is once, as the item registers.
    auto menu = std::dynamic_pointer_cast<LinuxMenu>(makeMenu());
    firstItem_->setMenu(menu);
    firstMenu_ = std::move(menu);
    firstItem_->whenIconShown(kFirstIconPatienceMs, std::move(shown));
}

std::shared_ptr<platform::Menu> LinuxStatusBar::makeMenu() {
    if (firstMenu_) return std::exchange(firstMenu_, nullptr);
    auto menu = std::make_shared<LinuxMenu>();
    menus_.push_back(menu);
    return menu;
}

bool LinuxStatusBar::performMenuCommand(const std::string& selector) {
    for (const std::weak_ptr<LinuxMenu>& weak : menus_)
        if (std::shared_ptr<LinuxMenu> menu = weak.lock(); menu && menu->perform(selector)) return true;
    return false;
}

bool LinuxStatusBar::shownInTray() const {
    for (const std::weak_ptr<LinuxStatusItem>& weak : items_)
        if (std::shared_ptr<LinuxStatusItem> item = weak.lock(); item && item->shownInTray()) return true;
    return false;
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::makeMenuItem(const std::string& title,
                                                                 std::optional<platform::Action> action,
                                                                 const std::string& keyEquivalent) {
    return std::make_shared<LinuxMenuItem>(title, std::move(action), keyEquivalent, requests_);
}

std::shared_ptr<platform::MenuItem> LinuxStatusBar::makeSeparatorItem() {
    return std::make_shared<LinuxMenuItem>(LinuxMenuItem::Separator{});
}

}  // namespace nubrio::linux_platform
