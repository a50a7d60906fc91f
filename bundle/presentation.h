#pragma once
// What the desktop shows of the program that the core owns: the menu's commands, whose titles the
// launcher's actions take, the status icon's drawing for the application icon, and the page of the
// editor's app window, after which browsers name that window. The program's main.cpp and the install
// step's helper pass it to the backend, which includes nothing of the core.
#include "app/build_config.h"
#include "app/statusbar/menu_titles.h"
#include "app/statusbar/status_icon.h"
#include "editor/editor_window.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/shell/words.h"

namespace nubrio {

inline linux_platform::launcher::Presentation presentation() {
    return {linux_platform::launcher::menuCommands(menu_titles::commands(linux_platform::linuxWords())), drawStatusIcon,
            editor::appWindowPage(config::WebOrigin)};
}

}  // namespace nubrio
