#pragma once
// Titles of the status menu's commands, which the desktop shows elsewhere too (the launcher's actions).
#include <string>
#include <vector>

#include "app/texts.h"
#include "platform/words.h"

namespace nubrio::menu_titles {

inline constexpr const char* OpenWeb = "Abrir Nubrio";
inline constexpr const char* OpenLogs = "Ver registros";
inline constexpr const char* Restart = "Reiniciar procesamiento…";
inline constexpr const char* Login = "Abrir al iniciar sesión";
inline constexpr const char* About = "Acerca de Nubrio";
inline constexpr const char* Uninstall = "Desinstalar Nubrio…";
inline constexpr const char* Quit = "Salir de Nubrio…";

struct Command {
    const char* selector;
    std::string title;
};

// The menu's commands below "Abrir Nubrio", in the menu's final order, with the platform's words.
inline std::vector<Command> commands(const platform::Words& words) {
    return {{"openFiles", texts::openFilesTitle(words)}, {"openLogs", OpenLogs}, {"restart", Restart},
            {"toggleLogin", Login}, {"about", About}, {"uninstall", Uninstall}, {"quit", Quit}};
}

}  // namespace nubrio::menu_titles
