#include "app/nubrio.h"
#include "app/statusbar/menu_titles.h"
#include "app/texts.h"

namespace nubrio {

std::shared_ptr<platform::Menu> Nubrio::makeStatusMenu() {
    platform::StatusBar& bar = platform_.statusBar;
    std::shared_ptr<platform::Menu> menu = bar.makeMenu();

    status = bar.makeMenuItem("Nubrio en segundo plano", std::nullopt, "");
    status->setEnabled(false);
    menu->addItem(status);
    menu->addItem(bar.makeSeparatorItem());

    menu->addItem(bar.makeMenuItem(menu_titles::OpenWeb, action("openWeb", &Nubrio::openWeb), ""));
    menu->addItem(bar.makeMenuItem(texts::openFilesTitle(platform_.words), action("openFiles", &Nubrio::openFiles), ""));
    menu->addItem(bar.makeMenuItem(menu_titles::OpenLogs, action("openLogs", &Nubrio::openLogs), ""));
    menu->addItem(bar.makeMenuItem(menu_titles::Restart, action("restart", &Nubrio::restart), ""));
    menu->addItem(bar.makeMenuItem(menu_titles::About, action("about", &Nubrio::about), ""));
    menu->addItem(bar.makeMenuItem(menu_titles::Uninstall, action("uninstall", &Nubrio::uninstall), ""));
    menu->addItem(bar.makeMenuItem(menu_titles::Quit, action("quit", &Nubrio::quit), ""));

    login = bar.makeMenuItem(menu_titles::Login, action("toggleLogin", &Nubrio::toggleLogin), "");
    login->setOn(platform_.loginItems.status() == platform::LoginItemStatus::Enabled);
    menu->insertItem(login, 6);
    return menu;
}

}  // namespace nubrio
