#pragma once
// What the desktop shows of the program that the core owns: the menu's titles of the launcher's
// actions and the status icon's drawing for the application icon. The program's main.cpp and the
// install step's helper pass it to the backend, which includes nothing of the core itself.
#include "app/statusbar/menu_titles.h"
#include "app/statusbar/status_icon.h"
#include "platform/linux/desktop/launcher.h"

namespace nubrio {

inline linux_platform::launcher::Presentation presentation() {
    linux_platform::launcher::Presentation made{{}, drawStatusIcon};
    for (const auto& [selector, title] : menu_titles::ByCommand) made.titles[selector] = title;
    return made;
}

}  // namespace nubrio
