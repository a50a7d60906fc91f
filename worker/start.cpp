#include "app/check_mode.h"
#include "app/nubrio.h"
#include "app/texts.h"
#include "app/web_origin.h"
#include "worker/contract.h"

namespace nubrio {

namespace {
constexpr double RestartWindowSeconds = 600.0;
constexpr std::size_t RestartLimit = 3;
constexpr const char* HaltedStatusLine = "Procesamiento detenido · podés reiniciarlo";
}  // namespace

void Nubrio::startWorker(bool openEditor) {
    // Only a worker of the version read at the start can prove itself.
    if (!workerMayStart(openEditor)) return;
    stopping = false;
    ready = false;
    openWhenReady = openEditor;
    startup = Uuid::random();

    std::shared_ptr<platform::Task> task = platform_.tasks.makeTask();
    task->setStandardInputNullDevice();
    std::optional<std::filesystem::path> resources = platform_.bundle.resourcesPath();
    // A bundle without resources cannot hold a worker: that is a launch failure like any other.
    task->setExecutable(resources ? *resources / worker::ExecutablePath : std::filesystem::path());
    task->setCurrentDirectory(home);
    std::weak_ptr<Nubrio> weak = weak_from_this();
    platform::MainQueue& queue = platform_.mainQueue;
    task->setTerminationHandler([weak, &queue](const std::shared_ptr<platform::Task>& ended) {
        queue.async([weak, ended] {
            if (auto self = weak.lock()) self->workerDidExit(ended);
        });
    });

    if (std::optional<platform::Error> error = task->launch()) {
        if (inCheckMode()) {
            failCheck("Could not launch worker: " + error->fullDescription() + "\n");
            return;
        }
        showAlert("No se pudo abrir Nubrio", error->localizedDescription());
        platform_.application.terminate();
        return;
    }

    worker = task;
    status->setTitle("Preparando la conexión con el editor…");
    waitForWorker(task, startup, 0);
}

void Nubrio::workerDidExit(const std::shared_ptr<platform::Task>& task) {
    if (stopping) return;
    if (!worker || worker != task) return;  // an older worker's exit

    ready = false;
    if (inCheckMode()) {
        failCheck("");
        return;
    }

    const int exitStatus = task->terminationStatus();
    // A death by signal carries the signal number: only a real exit with status 3 is the worker's report.
    if (exitStatus == worker::StartupFailureStatus &&
        task->terminationReason() == platform::TerminationReason::Exit) {
        status->setTitle(HaltedStatusLine);
        std::optional<std::string> report = platform_.fileManager.readUtf8(home / worker::StartupErrorFile,
                                                                                  worker::StartupErrorMaxBytes);
        showAlert(texts::workerCouldNotStart(platform_.words),
                  report ? *report : "Instalalo de nuevo desde " + webOriginHost() + "/downloads.");
        return;
    }

    const double now = platform_.clock.now();
    std::erase_if(restarts, [now](double entry) { return now - entry >= RestartWindowSeconds; });
    if (restarts.size() >= RestartLimit) {
        status->setTitle(HaltedStatusLine);
        showAlert("El procesamiento de Nubrio se detuvo", texts::workerStoppedAdvice(platform_.words));
        return;
    }
    restarts.push_back(now);
    startWorker(false);
}

}  // namespace nubrio
