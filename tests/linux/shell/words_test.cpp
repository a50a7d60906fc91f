// The user's texts on Linux: the core's sentences with the Linux words say what is true here.
#include <gtest/gtest.h>

#include <string>

#include "app/texts.h"
#include "platform/linux/shell/words.h"

namespace {

using nubrio::linux_platform::linuxWords;
namespace texts = nubrio::texts;

TEST(LinuxWords, TheSentencesSayWhatIsTrueOnLinux) {
    const nubrio::platform::Words& w = linuxWords();
    const std::pair<std::string, const char*> cases[] = {
        {texts::openFilesTitle(w), "Ver archivos de esta computadora"},
        {texts::toolTip(w), "Nubrio · procesamiento en esta computadora"},
        {texts::workerCouldNotStart(w), "Nubrio no pudo arrancar en esta computadora"},
        {texts::workerStoppedAdvice(w),
         "Volvé a abrir la aplicación. Los registros están en Ver archivos de esta computadora → logs."},
        {texts::about(w, "nubrio.app"),
         "Procesa en esta computadora y guarda tus archivos por cuenta. Se abre en su propia ventana; tu cuenta y "
         "tus planes están en nubrio.app."},
        {texts::loginFailed(w), "No se pudo cambiar el inicio con la sesión del escritorio"},
        {texts::notInstalled(w), "Nubrio todavía no está instalado en esta computadora"},
        {texts::notInstalledAdvice(w),
         "Cerrá la app y abrila desde donde la instales. Para instalarla, usá el paquete nubrio o ejecutá "
         "cmake --install build."},
        {texts::packaged(w), "Desinstalá Nubrio con el gestor de paquetes"},
        {texts::packagedAdvice(w),
         "Esta copia vino en un paquete, así que no se cambió nada. Usá sudo apt remove nubrio o tu centro de "
         "software. Tus videos, clips y modelos guardados se conservan."},
        {texts::noBrowser(w), "Abrí Nubrio en Chromium, Chrome o Edge"},
        {texts::noBrowserAdvice(w, "nubrio.app"),
         "La conexión con la aplicación local requiere un navegador compatible. Chromium sirve cuando es tu "
         "navegador predeterminado. Instalá Chromium, Chrome o Edge, iniciá sesión en nubrio.app y tocá Conectar PC."},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
}

}  // namespace
