#pragma once
// Titles of the status menu's commands that the desktop shows elsewhere too (the launcher's actions).

namespace nubrio::menu_titles {

inline constexpr const char* Restart = "Reiniciar procesamiento…";
inline constexpr const char* Quit = "Salir de Nubrio…";

}  // namespace nubrio::menu_titles
