#pragma once
// The status menu as a QMenu of QActions. Titles, enabled and check states live in the QActions
// themselves, so both the menu Qt draws (XEmbed trays) and the one it exports over D-Bus
// (com.canonical.dbusmenu on StatusNotifierItem hosts) follow every change.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/status_bar.h"

class QAction;
class QMenu;

namespace nubrio::linux_platform {

class RequestQueue;

class LinuxMenuItem final : public platform::MenuItem {
public:
    // Needs a QApplication. Enabled from the start, with or without an action. An empty key
    // equivalent means no shortcut; others are kept but not bound (status menus take no keys here).
    // With `requests`, the action runs as one of them: one at a time, a repeat joining the first.
    LinuxMenuItem(const std::string& title, std::optional<platform::Action> action, const std::string& keyEquivalent,
                  RequestQueue* requests = nullptr);
    struct Separator {};
    explicit LinuxMenuItem(Separator);
    ~LinuxMenuItem() override;
    LinuxMenuItem(const LinuxMenuItem&) = delete;
    LinuxMenuItem& operator=(const LinuxMenuItem&) = delete;

    bool isSeparator() const override;
    std::string title() const override;
    void setTitle(const std::string& title) override;
    std::string keyEquivalent() const override;
    const std::optional<platform::Action>& action() const override;
    bool isEnabled() const override;
    void setEnabled(bool enabled) override;
    bool isOn() const override;
    // The first call makes the item a check item; before it, no check box is shown at all.
    void setOn(bool on) override;

    // Runs the item's action as choosing it would, later from the event loop; false when the item is
    // disabled or has no action.
    bool perform();

    QAction* qaction() const { return qaction_.get(); }

private:
    void triggered();

    std::string title_;
    std::string keyEquivalent_;
    std::optional<platform::Action> action_;
    bool on_ = false;
    RequestQueue* requests_ = nullptr;
    std::unique_ptr<QAction> qaction_;
};

class LinuxMenu final : public platform::Menu {
public:
    // Needs a QApplication. Takes only LinuxMenuItems (std::invalid_argument otherwise); an index
    // outside 0…count gives std::out_of_range.
    LinuxMenu();
    ~LinuxMenu() override;
    LinuxMenu(const LinuxMenu&) = delete;
    LinuxMenu& operator=(const LinuxMenu&) = delete;

    void addItem(std::shared_ptr<platform::MenuItem> item) override;
    void insertItem(std::shared_ptr<platform::MenuItem> item, int index) override;
    std::vector<std::shared_ptr<platform::MenuItem>> items() const override;

    // Performs the enabled item whose action has this selector; false when there is none.
    bool perform(const std::string& selector);

    QMenu* qmenu() const { return qmenu_.get(); }

private:
    std::unique_ptr<QMenu> qmenu_;
    std::vector<std::shared_ptr<LinuxMenuItem>> items_;
};

}  // namespace nubrio::linux_platform
