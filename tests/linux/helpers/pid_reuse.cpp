// The worker's pid taken by another group leader while the watcher runs its stop sequence. Runs as
// the first process of a new pid namespace (`unshare --pid --fork --mount-proc pid_reuse`), where it
// reaps orphans and can choose the next pid through /proc/sys/kernel/ns_last_pid:
//   1. a "program" starts a worker as Nubrio does (own group, a watcher beside it) and dies;
//   2. the watcher sends the group SIGTERM; the worker ends and is reaped here at once;
//   3. an unrelated process takes the worker's pid and leads a group of that number, ignoring SIGTERM;
//   4. five seconds later: is it still alive? The watcher must not have signalled it.
// Prints one line: "reused <pid>: survived", "reused <pid>: killed by signal N", or "cannot: why"
// (exit 77). Started as the worker (NUBRIO_PID_REUSE_WORKER set) it waits for a signal.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/linux/process/spawn.h"

namespace {

using namespace nubrio::linux_platform;

int cannot(const std::string& why) {
    std::printf("cannot: %s\n", why.c_str());
    return 77;
}

bool setLastPid(pid_t pid) {
    const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string text = std::to_string(pid);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int, char** argv) {
    if (std::getenv("NUBRIO_PID_REUSE_WORKER")) {
        ::pause();  // SIGTERM ends it
        return 0;
    }
    if (::getpid() != 1) return cannot("not the first process of a pid namespace");
    ::setenv("NUBRIO_PID_REUSE_WORKER", "1", 1);

    int report[2], die[2];
    if (::pipe(report) != 0 || ::pipe(die) != 0) return cannot("no pipe");
    const pid_t program = ::fork();
    if (program == 0) {
        ::close(die[1]);
        pid_t worker = -1;
        if (spawnInOwnGroup(SpawnRequest{argv[0], std::nullopt, true}, worker)) ::_exit(1);
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, worker, 0));
        std::optional<GroupGuard> guard = GroupGuard::start(worker, pidfd, {SIGTERM, SIGKILL, 30, 100'000});
        if (!guard) ::_exit(1);
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &worker, sizeof worker);
        char byte;
        ignored = ::read(die[0], &byte, 1);
        ::_exit(0);  // dies without dismissing its watcher, as a killed program would
    }
    pid_t worker = -1;
    if (::read(report[0], &worker, sizeof worker) != sizeof worker) return cannot("no worker started");
    ::close(die[0]);
    ::close(die[1]);  // the program ends

    // Reap everything; the moment the worker is reaped, its pid goes to an impostor.
    pid_t impostor = -1;
    double reusedAt = 0;
    int impostorStatus = -1;
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(-1, &status, impostor > 0 ? WNOHANG : 0);
        if (reaped < 0 && errno == EINTR) continue;
        if (reaped < 0 && impostor < 0) return cannot("the worker was never reaped here");
        if (reaped == worker && impostor < 0) {
            if (!setLastPid(worker - 1)) return cannot("cannot write ns_last_pid");
            impostor = ::fork();
            if (impostor == 0) {
                ::setpgid(0, 0);
                ::signal(SIGTERM, SIG_IGN);
                ::sleep(30);
                ::_exit(0);
            }
            reusedAt = now();
            if (impostor != worker) {
                ::kill(impostor, SIGKILL);
                return cannot("the pid went to another process");
            }
            continue;
        }
        if (reaped == impostor && impostor > 0) {
            impostorStatus = status;
            break;
        }
        if (impostor > 0 && now() - reusedAt > 5) break;
        if (reaped == 0) ::usleep(10'000);
    }
    if (impostorStatus == -1) {
        std::printf("reused %d: survived\n", static_cast<int>(impostor));
        ::kill(impostor, SIGKILL);
        return 0;
    }
    std::printf("reused %d: killed by signal %d after %.2f s\n", static_cast<int>(impostor),
                WIFSIGNALED(impostorStatus) ? WTERMSIG(impostorStatus) : 0, now() - reusedAt);
    return 0;
}
