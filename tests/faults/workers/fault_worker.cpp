// A misbehaving stand-in for NubrioService. The fault suite copies the bundle and puts this program
// in the worker's place; the program starts it with no arguments, so the behaviour comes from the
// environment it inherits (FAULT_WORKER_MODE). Everything it does that a test must check later is
// appended to files in its working folder, because the test never signals or waits for it directly:
//   fault-launches  one pid per start
//   fault-pids      "<role> <pid>" for the worker and every process it made
//   fault-events    "<what> <pid> <CLOCK_REALTIME ns>" (served, sigterm, setpgid-failed, ...)
//
// Modes:
//   crash                 exits 1 at once
//   silent                binds nothing, ends on SIGTERM
//   silent-first          the first start binds nothing (so the probe gives up); later starts serve
//   stubborn              serves the challenge correctly, ignores SIGTERM (noting each one)
//   group-child           serves, ends on SIGTERM; a sleeping child shares its process group
//   group-child-stubborn  as group-child, but the worker itself ignores SIGTERM
//   group-child-lingering as group-child, but the child ignores SIGTERM
//   group-stubborn        serves; the worker and a child in its group both ignore SIGTERM, noting it
//   leave-group           serves, ignores SIGTERM, and moves into another process group first
//   crash-leaving-child   the first start listens on the port, leaves a child ignoring SIGTERM (and
//                         noting it) that keeps the listening socket, and crashes; later starts serve
//                         normally
#include <microhttpd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

#ifndef FAULT_WORKER_VERSION
#error "FAULT_WORKER_VERSION must be the bundle's version"
#endif

namespace {

int eventsFd = -1;
char sigtermLine[96];
std::size_t sigtermLineLength = 0;

long long realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// One write() per line on an O_APPEND file, so lines from several processes never interleave.
void appendLine(const char* file, const std::string& line) {
    const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(fd, text.data(), text.size());
    ::close(fd);
}

void event(const std::string& what) {
    appendLine("fault-events", what + " " + std::to_string(::getpid()) + " " + std::to_string(realtimeNs()));
}

void recordPid(const char* role, pid_t pid) { appendLine("fault-pids", std::string(role) + " " + std::to_string(pid)); }

// Async-signal-safe: a prepared line with the pid, the time stamped at arrival.
void onSigterm(int) {
    const int saved = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char stamp[32];
    int n = 0;
    long long value = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    char digits[32];
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = 0; i < n; ++i) stamp[i] = digits[n - 1 - i];
    stamp[n] = '\n';
    if (eventsFd >= 0) {
        char line[160];
        std::memcpy(line, sigtermLine, sigtermLineLength);
        std::memcpy(line + sigtermLineLength, stamp, static_cast<std::size_t>(n) + 1);
        [[maybe_unused]] ssize_t ignored = ::write(eventsFd, line, sigtermLineLength + static_cast<std::size_t>(n) + 1);
    }
    errno = saved;
}

// SIGTERM is noted and otherwise ignored; SIGKILL is the only way out.
void ignoreSigterm() {
    eventsFd = ::open("fault-events", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    sigtermLineLength = static_cast<std::size_t>(
        std::snprintf(sigtermLine, sizeof sigtermLine, "sigterm %d ", static_cast<int>(::getpid())));
    struct sigaction action {};
    action.sa_handler = onSigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void sleepForever() {
    for (;;) ::pause();
}

// fork(), where the child ignores SIGTERM and notes it from its first instant: SIGTERM stays blocked
// until the child's handler is in place, so one sent at once (a group stopped right after a crash) is
// noted rather than fatal.
pid_t forkNotingSigterm() {
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, &previous);
    const pid_t child = ::fork();
    if (child == 0) ignoreSigterm();
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return child;
}

// A child in the worker's own process group that only sleeps: it ends on SIGTERM like any program,
// or, when `lingering`, ignores it, and when `noting` too, notes each one.
void forkSleepingChild(bool lingering, bool noting = false) {
    const pid_t child = noting ? forkNotingSigterm() : ::fork();
    if (child == 0) {
        if (!noting) ::signal(SIGTERM, lingering ? SIG_IGN : SIG_DFL);
        sleepForever();
    }
    if (child > 0) recordPid("child", child);
}

// Moves the worker out of the group the program made for it: a helper leads a new group and the
// worker joins it (setsid or setpgid(0, 0) would leave pgid == pid). The helper ends with the worker.
void leaveOwnGroup() {
    const pid_t parent = ::getpid();
    const pid_t helper = ::fork();
    if (helper == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) _exit(0);
        ::setpgid(0, 0);
        sleepForever();
    }
    if (helper < 0) {
        event("fork-failed");
        return;
    }
    recordPid("helper", helper);
    ::setpgid(helper, helper);  // both sides set it, so the join below never races the helper
    if (::setpgid(0, helper) != 0) event("setpgid-failed");
    appendLine("fault-pids", "pgid " + std::to_string(::getpgrp()));
}

// The first start of this worker in its folder (the launches file has only our own line)?
bool firstLaunch() {
    std::FILE* launches = std::fopen("fault-launches", "r");
    if (!launches) return true;
    int lines = 0;
    for (int c; (c = std::fgetc(launches)) != EOF;)
        if (c == '\n') ++lines;
    std::fclose(launches);
    return lines <= 1;
}

// The worker's port, listening, as the real worker binds it: SO_REUSEADDR binds despite connections in
// TIME_WAIT, and no SO_REUSEPORT, with which two processes would share the port. Exits 3 when taken.
int listenOnPort() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4173);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
        event("bind-failed");
        std::exit(3);
    }
    return listener;
}

// What a crash can leave behind: a child that holds the port the next worker needs.
[[noreturn]] void crashLeavingChildOnThePort() {
    listenOnPort();
    const pid_t child = forkNotingSigterm();
    if (child == 0) sleepForever();
    recordPid("child", child);
    event("crashing");
    std::abort();
}

// Serves the challenge correctly (every other path gets 404) until a signal ends the process.
[[noreturn]] void serveChallenge() {
    const MHD_AccessHandlerCallback answer = [](void*, MHD_Connection* connection, const char* path, const char*,
                                                const char*, const char*, size_t*, void**) -> MHD_Result {
        const bool challenge = std::strcmp(path, "/api/desktop/challenge") == 0;
        std::string body = challenge ? "{\"pid\": " + std::to_string(::getpid()) +
                                           ", \"version\": \"" FAULT_WORKER_VERSION "\"}"
                                     : "";
        MHD_Response* response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
        const MHD_Result queued = MHD_queue_response(connection, challenge ? 200 : 404, response);
        MHD_destroy_response(response);
        if (challenge) event("served");
        return queued;
    };
    const int listener = listenOnPort();
    if (!MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, answer, nullptr,
                          MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listener), MHD_OPTION_END)) {
        event("server-failed");
        std::exit(1);
    }
    sleepForever();
}

}  // namespace

int main() {
    const char* value = std::getenv("FAULT_WORKER_MODE");
    const std::string mode = value ? value : "";
    appendLine("fault-launches", std::to_string(::getpid()));
    recordPid("worker", ::getpid());
    event("start-" + mode);

    if (mode == "crash") return 1;
    if (mode == "silent") sleepForever();
    if (mode == "silent-first") {
        if (firstLaunch()) sleepForever();
        serveChallenge();
    }
    if (mode == "stubborn") {
        ignoreSigterm();
        serveChallenge();
    }
    if (mode == "group-child" || mode == "group-child-stubborn" || mode == "group-child-lingering") {
        forkSleepingChild(mode == "group-child-lingering");
        if (mode == "group-child-stubborn") ignoreSigterm();
        serveChallenge();
    }
    if (mode == "group-stubborn") {
        forkSleepingChild(true, true);
        ignoreSigterm();
        serveChallenge();
    }
    if (mode == "crash-leaving-child") {
        if (firstLaunch()) crashLeavingChildOnThePort();
        serveChallenge();
    }
    if (mode == "leave-group") {
        leaveOwnGroup();
        ignoreSigterm();
        serveChallenge();
    }
    std::fprintf(stderr, "fault_worker: unknown FAULT_WORKER_MODE \"%s\"\n", mode.c_str());
    return 64;
}
