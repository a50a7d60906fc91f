#include "app/check_mode.h"
#include "app/nubrio.h"
#include "worker/contract.h"

namespace nubrio {

void Nubrio::stopWorker() {
    stopping = true;
    ready = false;
    startup = Uuid::random();

    if (worker && worker->isRunning()) {
        platform::ProcessInfo& process = platform_.process;
        if (process.kill(-worker->processIdentifier(), worker::SignalTerminate) != 0) worker->terminate();
        for (int poll = 0; poll < worker::StopPollCount && worker->isRunning(); ++poll)
            process.usleep(worker::StopPollIntervalMicroseconds);
        if (worker->isRunning()) {
            const int pid = worker->processIdentifier();
            process.kill(-pid, worker::SignalKill);
            // A worker that left its own group is not reached through it, and the wait below would never
            // end. It is still our unreaped child, so its pid is safe to signal directly.
            if (worker->isRunning()) process.kill(pid, worker::SignalKill);
        }
        worker->waitUntilExit();
    }
    worker = nullptr;
}

void Nubrio::failCheck(const std::string& line) {
    if (!line.empty()) platform_.process.writeStandardError(line);
    // Whoever reads our output waits for everything that holds it open, a worker we left included.
    stopWorker();
    platform_.process.exit(check_mode::FailureStatus);
}

void Nubrio::restart() {
    const int choice = platform_.alerts.runModal(
        {"¿Reiniciar Nubrio?", "Los trabajos en curso se interrumpirán. Los archivos guardados se conservan.",
         {"Seguir procesando", "Reiniciar"}});
    if (choice != platform::AlertSecondButtonReturn) return;
    stopWorker();
    startWorker(false);
}

void Nubrio::quit() {
    const int choice = platform_.alerts.runModal(
        {"¿Cerrar Nubrio?",
         "Los clips que se estén procesando se interrumpirán. Tus archivos guardados se conservan.",
         {"Seguir procesando", "Cerrar Nubrio"}});
    if (choice != platform::AlertSecondButtonReturn) return;
    platform_.application.terminate();
}

void Nubrio::applicationWillTerminate() { stopWorker(); }

}  // namespace nubrio
