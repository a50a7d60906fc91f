#include "platform/linux/tray/menu.h"

#include <QAction>
#include <QMenu>
#include <QMetaObject>
#include <stdexcept>

#include "platform/linux/shell/request_queue.h"

namespace nubrio::linux_platform {

namespace {

// A title is shown as written: '&' would otherwise mark a mnemonic.
QString actionText(const std::string& title) {
    return QString::fromStdString(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

std::shared_ptr<LinuxMenuItem> linuxItem(const std::shared_ptr<platform::MenuItem>& item) {
    auto menuItem = std::dynamic_pointer_cast<LinuxMenuItem>(item);
    if (!menuItem) throw std::invalid_argument("LinuxMenu takes only LinuxMenuItems");
    return menuItem;
}

}  // namespace

LinuxMenuItem::LinuxMenuItem(const std::string& title, std::optional<platform::Action> action,
                             const std::string& keyEquivalent, RequestQueue* requests)
    : title_(title),
      keyEquivalent_(keyEquivalent),
      action_(std::move(action)),
      requests_(requests),
      qaction_(std::make_unique<QAction>()) {
    qaction_->setText(actionText(title_));
    qaction_->setEnabled(true);
    QObject::connect(qaction_.get(), &QAction::triggered, qaction_.get(), [this] { triggered(); });
}

LinuxMenuItem::LinuxMenuItem(Separator) : qaction_(std::make_unique<QAction>()) { qaction_->setSeparator(true); }

LinuxMenuItem::~LinuxMenuItem() = default;

bool LinuxMenuItem::isSeparator() const { return qaction_->isSeparator(); }

std::string LinuxMenuItem::title() const { return title_; }

void LinuxMenuItem::setTitle(const std::string& title) {
    title_ = title;
    qaction_->setText(actionText(title_));
}

std::string LinuxMenuItem::keyEquivalent() const { return keyEquivalent_; }

const std::optional<platform::Action>& LinuxMenuItem::action() const { return action_; }

bool LinuxMenuItem::isEnabled() const { return qaction_->isEnabled(); }

void LinuxMenuItem::setEnabled(bool enabled) { qaction_->setEnabled(enabled); }

bool LinuxMenuItem::isOn() const { return on_; }

void LinuxMenuItem::setOn(bool on) {
    on_ = on;
    qaction_->setCheckable(true);
    qaction_->setChecked(on);
}

void LinuxMenuItem::triggered() {
    // Qt flips a check item by itself; here the state changes only through setOn.
    if (qaction_->isCheckable()) qaction_->setChecked(on_);
    perform();
}

bool LinuxMenuItem::perform() {
    if (!action_ || !action_->invoke || !qaction_->isEnabled()) return false;
    // Later, from the event loop: a modal alert opened by the action must not run inside the menu's
    // (or the D-Bus menu call's, or a hand-over's) own event handling.
    if (requests_) return requests_->submit("command " + action_->selector, action_->invoke);
    QMetaObject::invokeMethod(
        qaction_.get(), [invoke = action_->invoke] { invoke(); }, Qt::QueuedConnection);
    return true;
}

LinuxMenu::LinuxMenu() : qmenu_(std::make_unique<QMenu>()) {}

LinuxMenu::~LinuxMenu() = default;

void LinuxMenu::addItem(std::shared_ptr<platform::MenuItem> item) {
    auto menuItem = linuxItem(item);
    qmenu_->addAction(menuItem->qaction());
    items_.push_back(std::move(menuItem));
}

void LinuxMenu::insertItem(std::shared_ptr<platform::MenuItem> item, int index) {
    if (index < 0 || static_cast<std::size_t>(index) > items_.size())
        throw std::out_of_range("menu index " + std::to_string(index) + " outside 0…" + std::to_string(items_.size()));
    auto menuItem = linuxItem(item);
    if (static_cast<std::size_t>(index) == items_.size())
        qmenu_->addAction(menuItem->qaction());
    else
        qmenu_->insertAction(items_[index]->qaction(), menuItem->qaction());
    items_.insert(items_.begin() + index, std::move(menuItem));
}

std::vector<std::shared_ptr<platform::MenuItem>> LinuxMenu::items() const { return {items_.begin(), items_.end()}; }

bool LinuxMenu::perform(const std::string& selector) {
    for (const std::shared_ptr<LinuxMenuItem>& item : items_)
        if (item->action() && item->action()->selector == selector && item->perform()) return true;
    return false;
}

}  // namespace nubrio::linux_platform
