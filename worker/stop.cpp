#include "app/nubrio.h"
#include "worker/contract.h"

namespace nubrio {

namespace {
constexpr int PollCount = 30;
constexpr unsigned PollIntervalMicroseconds = 100000;
}  // namespace

void Nubrio::stopWorker() {
    stopping = true;
    ready = false;
    startup = Uuid::random();

    if (worker && worker->isRunning()) {
        platform::ProcessInfo& process = platform_.process;
        if (process.kill(-worker->processIdentifier(), worker::SignalTerminate) != 0) worker->terminate();
        for (int poll = 0; poll < PollCount && worker->isRunning(); ++poll) process.usleep(PollIntervalMicroseconds);
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
