// The status menu on the real backend: platform menu items become QActions whose titles, enabled
// and check states are the ones the tray shows (and exports over D-Bus), and choosing one runs its
// action later, from the event loop.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>
#include <vector>

#include "platform/linux/tray/status_bar.h"
#include "support/status_icon_checks.h"

namespace nubrio::linux_platform {
namespace {

struct Entry {
    const char* title;
    bool separator;
    bool enabled;
    bool checkable;
    bool checked;
};

class StatusMenuTest : public testing::Test {
protected:
    platform::Action action(const char* selector) {
        return platform::Action{selector, [this, selector] { invoked.push_back(selector); }};
    }

    // The menu as the launch builds it: status line, separator, commands, the login item inserted.
    void build(bool loginOn) {
        menu = bar.makeMenu();
        status = bar.makeMenuItem("Nubrio en segundo plano", std::nullopt, "");
        status->setEnabled(false);
        menu->addItem(status);
        menu->addItem(bar.makeSeparatorItem());
        const std::pair<const char*, const char*> commands[] = {
            {"Abrir Nubrio", "openWeb"},   {"Ver archivos de esta computadora", "openFiles"},
            {"Ver registros", "openLogs"}, {"Reiniciar procesamiento…", "restart"},
            {"Acerca de Nubrio", "about"}, {"Desinstalar Nubrio…", "uninstall"},
            {"Salir de Nubrio…", "quit"}};
        for (const auto& [title, selector] : commands) menu->addItem(bar.makeMenuItem(title, action(selector), ""));
        login = bar.makeMenuItem("Abrir al iniciar sesión", action("toggleLogin"), "");
        login->setOn(loginOn);
        menu->insertItem(login, 6);
    }

    static QMenu* qmenu(const std::shared_ptr<platform::Menu>& menu) {
        return std::static_pointer_cast<LinuxMenu>(menu)->qmenu();
    }

    LinuxStatusBar bar;
    std::shared_ptr<platform::Menu> menu;
    std::shared_ptr<platform::MenuItem> status;
    std::shared_ptr<platform::MenuItem> login;
    std::vector<std::string> invoked;
};

TEST_F(StatusMenuTest, ItemsBecomeActionsWithTheirTitlesAndStates) {
    for (const bool loginOn : {true, false}) {
        SCOPED_TRACE(loginOn ? "login on" : "login off");
        build(loginOn);
        const Entry expected[] = {
            {"Nubrio en segundo plano", false, false, false, false},
            {"", true, true, false, false},
            {"Abrir Nubrio", false, true, false, false},
            {"Ver archivos de esta computadora", false, true, false, false},
            {"Ver registros", false, true, false, false},
            {"Reiniciar procesamiento…", false, true, false, false},
            {"Abrir al iniciar sesión", false, true, true, loginOn},
            {"Acerca de Nubrio", false, true, false, false},
            {"Desinstalar Nubrio…", false, true, false, false},
            {"Salir de Nubrio…", false, true, false, false},
        };
        const QList<QAction*> actions = qmenu(menu)->actions();
        ASSERT_EQ(actions.size(), std::size(expected));
        ASSERT_EQ(menu->items().size(), std::size(expected));
        for (std::size_t i = 0; i < std::size(expected); ++i) {
            SCOPED_TRACE(i);
            const QAction* qaction = actions[static_cast<int>(i)];
            EXPECT_EQ(qaction->text(), QString::fromUtf8(expected[i].title));
            EXPECT_EQ(qaction->isSeparator(), expected[i].separator);
            if (expected[i].separator) continue;
            EXPECT_EQ(menu->items()[i]->title(), expected[i].title);
            EXPECT_EQ(qaction->isEnabled(), expected[i].enabled);
            EXPECT_EQ(menu->items()[i]->isEnabled(), expected[i].enabled);
            EXPECT_EQ(qaction->isCheckable(), expected[i].checkable);
            EXPECT_EQ(qaction->isChecked(), expected[i].checked);
            EXPECT_TRUE(qaction->shortcut().isEmpty());
        }
        // Switching later shows at once, and never hides the check box again.
        login->setOn(!loginOn);
        EXPECT_TRUE(actions[6]->isCheckable());
        EXPECT_EQ(actions[6]->isChecked(), !loginOn);
        EXPECT_EQ(login->isOn(), !loginOn);
    }
}

TEST_F(StatusMenuTest, TitleChangesShowInTheAttachedMenu) {
    build(false);
    LinuxStatusItem item(std::make_shared<PanelAppearance>(QDBusConnection(QString())));
    item.setMenu(menu);
    ASSERT_EQ(item.trayIcon()->contextMenu(), qmenu(menu));

    status->setTitle("Lista para conectar · Nubrio en segundo plano");
    EXPECT_EQ(item.trayIcon()->contextMenu()->actions()[0]->text(),
              QStringLiteral("Lista para conectar · Nubrio en segundo plano"));
    EXPECT_FALSE(item.trayIcon()->contextMenu()->actions()[0]->isEnabled());

    // Shown as written, not as a keyboard mnemonic.
    status->setTitle("Datos & registros");
    EXPECT_EQ(status->title(), "Datos & registros");
    EXPECT_EQ(item.trayIcon()->contextMenu()->actions()[0]->text(), QStringLiteral("Datos && registros"));
}

TEST_F(StatusMenuTest, ChoosingAnItemRunsItsActionLaterAndLeavesTheStateToTheAction) {
    build(false);
    const QList<QAction*> actions = qmenu(menu)->actions();

    actions[6]->trigger();  // "Abrir al iniciar sesión"
    EXPECT_TRUE(invoked.empty()) << "the action must not run inside the menu's event handling";
    EXPECT_FALSE(actions[6]->isChecked()) << "only setOn changes the check mark";
    QCoreApplication::processEvents();
    EXPECT_EQ(invoked, std::vector<std::string>{"toggleLogin"});

    actions[9]->trigger();  // "Salir de Nubrio…"
    actions[0]->trigger();  // the disabled status line has no action
    QCoreApplication::processEvents();
    EXPECT_EQ(invoked, (std::vector<std::string>{"toggleLogin", "quit"}));
}

// The item shown ahead of the launch is the one the launch asks for, with its menu, and the same
// image again leaves its icon as it was: the tray is not made to fetch it twice.
TEST_F(StatusMenuTest, TheItemShownFirstIsTheLaunchsItemAndMenu) {
    int shown = 0;
    bar.showFirstItem(statusImage(), [&] { ++shown; });
    EXPECT_EQ(shown, 1) << "offscreen no tray asks for the icon: nothing to wait for";

    const auto item =
        std::static_pointer_cast<LinuxStatusItem>(bar.statusItemWithLength(platform::StatusBar::VariableLength));
    ASSERT_NE(item->trayIcon(), nullptr);
    EXPECT_TRUE(item->trayIcon()->isVisible());
    const qint64 icon = item->trayIcon()->icon().cacheKey();
    expectStatusIcon(item->trayIcon()->icon().pixmap(QSize(22, 22)).toImage(),
                     static_cast<LinuxStatusButton*>(item->button())->tint());
    item->button()->setImage(statusImage());
    EXPECT_EQ(item->trayIcon()->icon().cacheKey(), icon);

    build(false);
    item->setMenu(menu);
    EXPECT_EQ(item->trayIcon()->contextMenu(), qmenu(menu)) << "the menu made first is the one shown with the item";
    EXPECT_EQ(qmenu(menu)->actions().size(), 10);

    EXPECT_NE(bar.statusItemWithLength(platform::StatusBar::VariableLength), item) << "given once";
    EXPECT_NE(bar.makeMenu(), menu);
}

// The check's status bar: its item takes the image, tool tip and menu, shows in no tray, and its menu
// still runs the commands.
TEST_F(StatusMenuTest, AnItemOfNoTrayKeepsItsMenuAndShowsNowhere) {
    LinuxStatusBar trayless(nullptr, LinuxStatusBar::Tray::None);
    const auto item =
        std::static_pointer_cast<LinuxStatusItem>(trayless.statusItemWithLength(platform::StatusBar::VariableLength));
    ASSERT_NE(item->button(), nullptr);
    item->button()->setImage(statusImage());
    item->button()->setToolTip("Nubrio · procesamiento en esta computadora");
    EXPECT_EQ(item->trayIcon(), nullptr);
    int shown = 0;
    item->whenIconShown(LinuxStatusBar::kFirstIconPatienceMs, [&] { ++shown; });
    EXPECT_EQ(shown, 1) << "no tray will ask for the icon";

    auto own = trayless.makeMenu();
    own->addItem(trayless.makeMenuItem("Salir de Nubrio…", action("quit"), ""));
    item->setMenu(own);
    EXPECT_TRUE(trayless.performMenuCommand("quit"));
    QCoreApplication::processEvents();
    EXPECT_EQ(invoked, std::vector<std::string>{"quit"});
}

}  // namespace
}  // namespace nubrio::linux_platform
