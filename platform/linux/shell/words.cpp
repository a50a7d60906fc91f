#include "platform/linux/shell/words.h"

namespace nubrio::linux_platform {

const platform::Words& linuxWords() {
    static const platform::Words words{
        .thisComputer = "esta computadora",
        // The XDG autostart entry is read by the desktop session when the user logs in.
        .loginSystem = "la sesión del escritorio",
        .installPlace = "esta computadora",
        // A copy that is not installed runs from the folder it was built in.
        .leaveUninstalledCopy = "abrila desde donde la instales",
        .howToInstall = "usá el paquete nubrio o ejecutá cmake --install build",
        .packageManager = "el gestor de paquetes",
        .packageRemoval = "sudo apt remove nubrio o tu centro de software",
        // Debian ships Chromium; it opens the editor's window only as the default browser.
        .editorBrowsers = "Chromium, Chrome o Edge",
        .browserNote = "Chromium sirve cuando es tu navegador predeterminado.",
    };
    return words;
}

}  // namespace nubrio::linux_platform
