// Times a quit to the millisecond without polling /proc:
//   quit_timer TIMEOUT_S PROGRAM_PID [WORKER_PID...]
// Opens a pidfd on every process first, sends SIGTERM to PROGRAM_PID (a process the caller started),
// then prints "<pid> <ms>" as each one ends (a zombie counts as ended), or "<pid> timeout".
// Exit status 0 when all ended within TIMEOUT_S, 1 otherwise.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quit_timer TIMEOUT_S PROGRAM_PID [WORKER_PID...]\n");
        return 64;
    }
    const double timeout = std::atof(argv[1]);
    std::vector<pid_t> pids;
    std::vector<pollfd> fds;
    for (int i = 2; i < argc; ++i) {
        const pid_t pid = static_cast<pid_t>(std::atoi(argv[i]));
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) {
            std::printf("%d gone-before\n", static_cast<int>(pid));
            if (i == 2) return 1;
            continue;
        }
        pids.push_back(pid);
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    if (::kill(pids.front(), SIGTERM) != 0) {
        std::perror("quit_timer: kill");
        return 1;
    }
    std::size_t left = fds.size();
    while (left > 0) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= timeout) break;
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>((timeout - elapsed) * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            std::printf("%d %.3f\n", static_cast<int>(pids[i]), ms);
            ::close(fds[i].fd);
            fds[i].fd = -1;
            --left;
        }
    }
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].fd >= 0) std::printf("%d timeout\n", static_cast<int>(pids[i]));
    return left == 0 ? 0 : 1;
}
