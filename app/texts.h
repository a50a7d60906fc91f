#pragma once
// The user's texts that name the system the program runs on: the sentences stay here, the platform
// supplies the words (platform/words.h).
#include <string>

#include "platform/words.h"

namespace nubrio::texts {

inline std::string openFilesTitle(const platform::Words& w) { return "Ver archivos de " + w.thisComputer; }

inline std::string toolTip(const platform::Words& w) { return "Nubrio · procesamiento en " + w.thisComputer; }

inline std::string workerCouldNotStart(const platform::Words& w) { return "Nubrio no pudo arrancar en " + w.thisComputer; }

inline std::string workerStoppedAdvice(const platform::Words& w) {
    return "Volvé a abrir la aplicación. Los registros están en " + openFilesTitle(w) + " → logs.";
}

inline std::string about(const platform::Words& w, const std::string& webHost) {
    return "Procesa en " + w.thisComputer +
           " y guarda tus archivos por cuenta. Se abre en su propia ventana; tu cuenta y tus planes están en " +
           webHost + ".";
}

inline std::string loginFailed(const platform::Words& w) { return "No se pudo cambiar el inicio con " + w.loginSystem; }

inline std::string notInstalled(const platform::Words& w) {
    return "Nubrio todavía no está instalado en " + w.installPlace;
}

inline std::string notInstalledAdvice(const platform::Words& w) {
    return "Cerrá la app y " + w.leaveUninstalledCopy + ". Para instalarla, " + w.howToInstall + ".";
}

inline std::string packaged(const platform::Words& w) { return "Desinstalá Nubrio con " + w.packageManager; }

inline std::string packagedAdvice(const platform::Words& w) {
    return "Esta copia vino en un paquete, así que no se cambió nada. Usá " + w.packageRemoval +
           ". Tus videos, clips y modelos guardados se conservan.";
}

inline std::string noBrowser(const platform::Words& w) { return "Abrí Nubrio en " + w.editorBrowsers; }

inline std::string noBrowserAdvice(const platform::Words& w, const std::string& webHost) {
    return "La conexión con la aplicación local requiere un navegador compatible. " +
           (w.browserNote.empty() ? std::string() : w.browserNote + " ") + "Instalá " + w.editorBrowsers +
           ", iniciá sesión en " + webHost + " y tocá Conectar PC.";
}

}  // namespace nubrio::texts
