#pragma once
// Looks at the worker from outside, as any local client could: its challenge answer on
// 127.0.0.1:4173 and its process in /proc. Never signals it: this test did not start it.
#include <sys/types.h>

#include <optional>
#include <string>

namespace nubrio::e2e {

struct Challenge {
    pid_t pid = 0;
    std::string version;
};

// GET /api/desktop/challenge on 127.0.0.1:4173; none when nothing answers with status 200 and the
// JSON object the worker promises. `detail` says why.
std::optional<Challenge> readChallenge(std::string* detail = nullptr);

// True when a connection to 127.0.0.1:4173 is refused: no process holds the port.
bool portRefused();

// One process as /proc shows it; the start time tells a reused pid apart.
struct ProcessSnapshot {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t session = 0;
    char state = '?';
    unsigned long long startTime = 0;
    std::string executable;
};

std::optional<ProcessSnapshot> snapshot(pid_t pid);
// The process seen earlier no longer runs (gone, a zombie, or its pid now belongs to another).
bool hasEnded(const ProcessSnapshot& earlier);

}  // namespace nubrio::e2e
