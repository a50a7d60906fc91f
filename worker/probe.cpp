#include "app/check_mode.h"
#include "app/nubrio.h"
#include "worker/challenge.h"
#include "worker/contract.h"

namespace nubrio {

namespace {
constexpr double RequestTimeoutSeconds = 2.0;
constexpr double RetryDelaySeconds = 1.0;
constexpr std::int64_t LastAttempt = 60;
constexpr const char* GaveUpStatusLine = "No se pudo preparar la conexión · Ver registros";

const std::string& challengeUrl() {
    static const std::string url = std::string("http://") + worker::ChallengeHost + ":" +
                                   std::to_string(worker::ChallengePort) + worker::ChallengePath;
    return url;
}
}  // namespace

void Nubrio::waitForWorker(std::shared_ptr<platform::Task> task, Uuid generation, std::int64_t attempt) {
    platform::UrlRequest request{challengeUrl(), platform::CachePolicy::ReloadIgnoringLocalCacheData,
                                 RequestTimeoutSeconds};
    std::weak_ptr<Nubrio> weak = weak_from_this();
    platform::MainQueue& queue = platform_.mainQueue;
    platform_.urlSession.get(request, [weak, &queue, task, generation, attempt](std::optional<std::string> body) {
        queue.async([weak, task, generation, attempt, body = std::move(body)] {
            if (auto self = weak.lock()) self->judge(task, generation, attempt, body);
        });
    });
}

void Nubrio::judge(const std::shared_ptr<platform::Task>& task, Uuid generation, std::int64_t attempt,
                   const std::optional<std::string>& body) {
    if (startup != generation) return;           // a newer start has its own run
    if (!worker || worker != task) return;
    if (!task->isRunning()) return;              // the exit handling takes over
    if (stopping) return;

    if (worker::answerIsFromWorker(body, task->processIdentifier(), version)) {
        ready = true;
        status->setTitle("Lista para conectar · Nubrio en segundo plano");
        if (inCheckMode()) {
            platform_.application.terminate();
            return;
        }
        if (openWhenReady) {
            openWhenReady = false;
            openWeb();
        }
        return;
    }

    if (attempt < LastAttempt) {
        // The retry holds the delegate strongly while it waits, as a pending request of the app's own.
        std::shared_ptr<Nubrio> self = shared_from_this();
        platform_.mainQueue.after(RetryDelaySeconds, [self, task, generation, attempt] {
            self->waitForWorker(task, generation, attempt + 1);
        });
        return;
    }

    if (inCheckMode()) {
        // A probe that could not run at all says why: nothing else would tell the one who ran the check.
        const std::optional<std::string> why = platform_.urlSession.unavailableReason();
        failCheck("Native readiness probe failed" + (why ? ": " + *why : std::string()) + "\n");
        return;
    }
    status->setTitle(GaveUpStatusLine);
    showAlert("No se pudo preparar la conexión",
              "Abrí Ver registros desde el logo de Nubrio. Si quedó otra versión abierta, cerrala desde su menú "
              "antes de reiniciar. Tus archivos se conservan.");
}

}  // namespace nubrio
