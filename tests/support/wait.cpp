#include "support/wait.h"

#include <sys/wait.h>

#include <thread>

namespace nubrio::testing {

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(20);
}

bool waitUntil(const std::function<bool()>& condition, Deadline deadline) {
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kPollInterval);
    return condition();
}

std::optional<int> waitForExit(pid_t pid, Deadline deadline) {
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) return status;
        if (ended < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace nubrio::testing
