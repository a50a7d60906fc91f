#pragma once
// The words of the user's texts that name the system the program runs on. The sentences are the
// core's (app/texts.h); each platform fills in what is true on it, in the texts' Spanish.
#include <string>

namespace nubrio::platform {

struct Words {
    // The machine where the worker processes and keeps the files ("esta Mac").
    std::string thisComputer;
    // What starts the program at login ("macOS").
    std::string loginSystem;
    // Where a copy counts as installed ("Aplicaciones").
    std::string installPlace;
    // What to do with the copy that is not installed, after closing it ("expulsá el DMG").
    std::string leaveUninstalledCopy;
    // How to install it ("arrastrala primero a Aplicaciones").
    std::string howToInstall;
    // Who removes a copy that the system's package manager installed, and how; empty where there
    // is none.
    std::string packageManager;
    std::string packageRemoval;
    // The browsers that show the editor in its own window, as the user is asked to install one
    // ("Chrome o Edge").
    std::string editorBrowsers;
    // One sentence on the browsers the user may have here ("Safari no permite esta conexión."); empty
    // where there is nothing to say.
    std::string browserNote;
};

}  // namespace nubrio::platform
