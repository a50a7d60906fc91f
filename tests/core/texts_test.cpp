// The texts that name the system: the core's sentences with the platform's words. With the reference
// platform's words they are the product's own texts, character for character; with other words the
// same sentences carry those words wherever the core shows them.
#include "app/texts.h"
#include "harness.h"

namespace nubrio::testing {
namespace {

using platform::Words;

struct Sentence {
    const char* where;
    std::string (*text)(const Words&);
    const char* reference;
};

std::string aboutText(const Words& w) { return texts::about(w, "nubrio.app"); }
std::string noBrowserAdviceText(const Words& w) { return texts::noBrowserAdvice(w, "nubrio.app"); }

const Sentence kSentences[] = {
    {"menu item", texts::openFilesTitle, "Ver archivos de esta Mac"},
    {"tooltip", texts::toolTip, "Nubrio \u00b7 procesamiento en esta Mac"},
    {"worker start-up failure", texts::workerCouldNotStart, "Nubrio no pudo arrancar en esta Mac"},
    {"restart limit", texts::workerStoppedAdvice,
     "Volvé a abrir la aplicación. Los registros están en Ver archivos de esta Mac \u2192 logs."},
    {"about", aboutText,
     "Procesa en esta Mac y guarda tus archivos por cuenta. Se abre en su propia ventana; tu cuenta y tus planes "
     "están en nubrio.app."},
    {"login failure", texts::loginFailed, "No se pudo cambiar el inicio con macOS"},
    {"not installed", texts::notInstalled, "Nubrio todavía no está instalado en Aplicaciones"},
    {"not installed", texts::notInstalledAdvice,
     "Cerrá la app y expulsá el DMG. Para instalarla, arrastrala primero a Aplicaciones."},
    {"no browser", texts::noBrowser, "Abrí Nubrio en Chrome o Edge"},
    {"no browser", noBrowserAdviceText,
     "La conexión con la aplicación local requiere un navegador compatible. Safari no permite esta conexión. "
     "Instalá Chrome o Edge, iniciá sesión en nubrio.app y tocá Conectar PC."},
};

TEST(TextsTest, TheReferenceWordsGiveTheProductsOwnTexts) {
    for (const Sentence& sentence : kSentences) EXPECT_EQ(sentence.text(fake::referenceWords()), sentence.reference) << sentence.where;
}

const Words kOtherWords{.thisComputer = "este equipo",
                        .loginSystem = "el sistema",
                        .installPlace = "Programas",
                        .leaveUninstalledCopy = "borrá la copia",
                        .howToInstall = "copiala a Programas",
                        .packageManager = "Paquetes",
                        .packageRemoval = "quitar nubrio",
                        .editorBrowsers = "Navegador Uno",
                        .browserNote = ""};

TEST(TextsTest, NoSentenceKeepsAReferenceWordWhenTheWordsDiffer) {
    for (const Sentence& sentence : kSentences) {
        const std::string text = sentence.text(kOtherWords);
        for (const char* word : {"Mac", "macOS", "DMG", "Aplicaciones", "Safari", "Chrome o Edge", "  "})
            EXPECT_EQ(text.find(word), std::string::npos) << sentence.where << ": " << text;
    }
}

class PlatformWordsTest : public CoreTest {
protected:
    void SetUp() override { fake.words = kOtherWords; }
};

TEST_F(PlatformWordsTest, TheMenuTheTooltipAndTheAlertsTakeThePlatformsWords) {
    launch({"--background"});
    const auto& item = static_cast<fake::FakeStatusItem&>(*state().item());
    EXPECT_EQ(item.button_.toolTip, "Nubrio \u00b7 procesamiento en este equipo");
    bool found = false;
    for (const auto& entry : item.menu->items())
        found = found || entry->title() == "Ver archivos de este equipo";
    EXPECT_TRUE(found);

    nubrio->about();
    fake.loginItems.registerError = platform::Error{"POSIX", 30, "Sistema de ficheros de sólo lectura"};
    nubrio->toggleLogin();
    fake.bundle.path = "/home/ana/Descargas/Nubrio.app";
    nubrio->uninstall();
    ASSERT_EQ(fake.alerts.shown.size(), 3u);
    EXPECT_EQ(fake.alerts.shown[0].informativeText.rfind("Procesa en este equipo y guarda", 0), 0u);
    EXPECT_EQ(fake.alerts.shown[1].messageText, "No se pudo cambiar el inicio con el sistema");
    EXPECT_EQ(fake.alerts.shown[2].messageText, "Nubrio todavía no está instalado en Programas");
    EXPECT_EQ(fake.alerts.shown[2].informativeText, "Cerrá la app y borrá la copia. Para instalarla, copiala a Programas.");
}

TEST_F(PlatformWordsTest, TheBrowserAlertNamesThePlatformsBrowsers) {
    make();
    nubrio->openWeb();
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "Abrí Nubrio en Navegador Uno");
    EXPECT_EQ(fake.alerts.shown[0].informativeText,
              "La conexión con la aplicación local requiere un navegador compatible. Instalá Navegador Uno, iniciá "
              "sesión en nubrio.app y tocá Conectar PC.");
    EXPECT_EQ(fake.alerts.shown[0].buttons, (std::vector<std::string>{"Descargar Chrome", "Cerrar"}));
}

TEST_F(PlatformWordsTest, APackagedCopyIsLeftToItsPackageManager) {
    // Even where a copy would count as installed, and with the login item on: nothing changes.
    fake.bundle.path = "/Applications/Nubrio.app";
    fake.bundle.packaged = true;
    fake.loginItems.current = platform::LoginItemStatus::Enabled;
    fake.alerts.results = {1001};
    launch({"--background"});
    nubrio->uninstall();
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "Desinstalá Nubrio con Paquetes");
    EXPECT_EQ(fake.alerts.shown[0].informativeText,
              "Esta copia vino en un paquete, así que no se cambió nada. Usá quitar nubrio. Tus videos, clips y "
              "modelos guardados se conservan.");
    EXPECT_TRUE(fake.alerts.shown[0].buttons.empty());
    EXPECT_TRUE(fake.files.trashed.empty());
    EXPECT_TRUE(fake.loginItems.calls.empty());
    EXPECT_EQ(fake.application.terminations, 0);
    EXPECT_EQ(worker()->terminateCalls, 0);
}

}  // namespace
}  // namespace nubrio::testing
