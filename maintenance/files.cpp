#include "app/nubrio.h"
#include "app/texts.h"
#include "app/web_origin.h"
#include "worker/contract.h"

namespace nubrio {

void Nubrio::openFiles() { platform_.workspace.openFolder(home); }

void Nubrio::openLogs() {
    const std::filesystem::path logs = home / worker::LogsFolder;
    platform_.fileManager.createDirectory(logs, true);
    platform_.workspace.openFolder(logs);
}

void Nubrio::about() {
    showAlert("Nubrio " + version, texts::about(platform_.words, webOriginHost()));
}

}  // namespace nubrio
