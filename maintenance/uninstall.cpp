#include "app/nubrio.h"
#include "app/texts.h"

namespace nubrio {

namespace {

// "." and ".." removed, no trailing separator; links are not followed.
std::string standardized(const std::filesystem::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

void Nubrio::uninstall() {
    // Its package manager removes a packaged copy: moving its files from under it would break the
    // package. Nothing changes here, the user is told how.
    if (platform_.bundle.installedByPackageManager()) {
        showAlert(texts::packaged(platform_.words), texts::packagedAdvice(platform_.words));
        return;
    }
    platform::FileManager& files = platform_.fileManager;
    const std::filesystem::path bundle = std::filesystem::path(standardized(platform_.bundle.bundlePath()));
    // Both sides with their links resolved: a home folder that is a link must not hide an install.
    const std::string holder = standardized(files.resolvingSymlinks(bundle.parent_path()));
    const std::filesystem::path allowedInstallFolders[] = {"/Applications",
                                                           files.homeDirectoryForCurrentUser() / "Applications"};
    bool installed = false;
    for (const std::filesystem::path& folder : allowedInstallFolders) {
        if (standardized(files.resolvingSymlinks(folder)) == holder) {
            installed = true;
            break;
        }
    }
    if (!installed) {
        showAlert(texts::notInstalled(platform_.words), texts::notInstalledAdvice(platform_.words));
        return;
    }

    const int choice = platform_.alerts.runModal(
        {"¿Desinstalar Nubrio?",
         "Se cerrará el procesamiento y la aplicación irá a la Papelera. Tus videos, clips y modelos guardados "
         "se conservan.",
         {"Conservar aplicación", "Desinstalar"}});
    if (choice != platform::AlertSecondButtonReturn) return;

    std::optional<platform::Error> error;
    if (platform_.loginItems.status() == platform::LoginItemStatus::Enabled) {
        error = platform_.loginItems.unregisterApp();
        // Whatever follows, the check mark shows what became of the login item.
        if (login) login->setOn(platform_.loginItems.status() == platform::LoginItemStatus::Enabled);
    }
    if (!error) error = platform_.fileManager.trashItem(bundle);
    if (error) {
        showAlert("No se pudo desinstalar Nubrio", error->localizedDescription());
        return;
    }
    platform_.application.terminate();
}

}  // namespace nubrio
