#pragma once
// Titles of the status menu's commands that the desktop shows elsewhere too (the launcher's actions).

namespace nubrio::menu_titles {

inline constexpr const char* Restart = "Reiniciar procesamiento…";
inline constexpr const char* Quit = "Salir de Nubrio…";

// The same titles by the command's selector, for the platform, which names commands by selector.
struct CommandTitle {
    const char* selector;
    const char* title;
};
inline constexpr CommandTitle ByCommand[] = {{"restart", Restart}, {"quit", Quit}};

}  // namespace nubrio::menu_titles
