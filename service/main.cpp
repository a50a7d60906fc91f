// NubrioService: the worker that the tray application keeps running. It serves the challenge that
// proves to the application that this process is its own worker, keeps a log in logs/ under its
// working folder, ends with status 0 on SIGTERM or SIGINT, and exits 3 with an explanation for the
// user in logs/startup-error.txt when it cannot start. Its port is open to every local program and web
// page, so its server (bounded_server.h) limits what any one client can cost it.
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "service/bounded_server.h"
#include "worker/contract.h"

namespace {

using nubrio::worker::ChallengeHost;
using nubrio::worker::ChallengePort;

const char* const kLogFile = "logs/service.log";

std::mutex logMutex;

// Writes all of `text`; false when it could not.
bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Appends one timestamped line; the log is a convenience, so any failure here is ignored. The log
// is only ever a regular file of ours: never a link's target, never a FIFO that would block.
void log(const std::string& line) {
    std::lock_guard lock(logMutex);
    char stamp[64] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %z", &local);
    const int fd = ::open(kLogFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        writeAll(fd, std::string(stamp) + " [" + std::to_string(getpid()) + "] " + line + "\n");
    ::close(fd);
}

// Private to the user when made here; an existing folder keeps its mode.
void createLogsFolder() { ::mkdir(nubrio::worker::LogsFolder, 0700); }

// Replaced as a whole, so the application never reads half a message. Written to a new file of our
// own (whatever was planted at the temporary name goes first, a link included, never its target)
// and renamed over the old one, which replaces a link rather than writing through it.
bool writeStartupError(const std::string& text) {
    const std::string path = nubrio::worker::StartupErrorFile;
    const std::string partial = path + ".partial";
    ::unlink(partial.c_str());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = writeAll(fd, text);
    if (::close(fd) != 0 || !written) {
        ::unlink(partial.c_str());
        return false;
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

// Exits with the status that tells the application that this computer cannot run the worker. When
// the explanation cannot be written, an older one must not stand in for it: the application then
// shows its own fallback text.
[[noreturn]] void failStartup(const std::string& explanation, const std::string& detail) {
    createLogsFolder();
    if (!writeStartupError(explanation)) std::remove(nubrio::worker::StartupErrorFile);
    log("cannot start: " + detail);
    std::fprintf(stderr, "NubrioService: cannot start: %s\n", detail.c_str());
    std::exit(nubrio::worker::StartupFailureStatus);
}

// httplib only says that the bind failed; a plain bind with the same options tells why.
int bindError() {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) return errno;
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ChallengePort);
    inet_pton(AF_INET, ChallengeHost, &address.sin_addr);
    int error = bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    close(sock);
    return error;
}

[[noreturn]] void failBind() {
    const int error = bindError();
    const std::string port = std::to_string(ChallengePort);
    const std::string detail = std::string("cannot listen on ") + ChallengeHost + ":" + port + ": " +
                               (error ? std::strerror(error) : "unknown error");
    if (error == EADDRINUSE || error == 0)
        failStartup("Otro programa está usando el puerto " + port +
                        " de esta computadora, y Nubrio lo necesita para procesar tus videos. "
                        "Cerrá ese programa (también puede ser Nubrio abierto en otra sesión de "
                        "usuario) y volvé a abrir Nubrio.\n",
                    detail);
    failStartup("Nubrio no pudo preparar su conexión local en el puerto " + port +
                    " de esta computadora (" + std::strerror(error) +
                    "). Reiniciá la computadora y volvé a abrir Nubrio.\n",
                detail);
}

// The worker keeps its results in its working folder; without write access it cannot do its job.
void requireWritableFolder() {
    if (access(".", W_OK | X_OK) == 0) return;
    const int error = errno;
    std::error_code ignored;
    const std::string folder = std::filesystem::current_path(ignored).string();
    failStartup("Nubrio no puede guardar archivos en su carpeta de datos (" + folder +
                    "). Revisá que tengas permiso para escribir en ella y volvé a abrir Nubrio.\n",
                "working folder " + folder + " is not writable: " + std::strerror(error));
}

// Only SO_REUSEADDR, so a quick restart binds despite connections in TIME_WAIT. Never SO_REUSEPORT
// (httplib's default on Linux): with it, a second worker would share the port instead of failing.
void setListenerOptions(socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

int main() {
    // Blocked before any thread exists, so every thread inherits the mask and only the waiting
    // thread below receives these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    nubrio::service::BoundedServer server;
    server.set_socket_options(setListenerOptions);
    if (!server.bind_to_port(ChallengeHost, ChallengePort)) failBind();

    requireWritableFolder();
    createLogsFolder();
    // Only a failed start writes this file; an old one would describe a problem that is gone.
    std::remove(nubrio::worker::StartupErrorFile);
    log(std::string("NubrioService ") + NUBRIO_SERVICE_VERSION + " started");
    log(std::string("listening on http://") + ChallengeHost + ":" + std::to_string(ChallengePort));

    server.answerOnlyLoopbackHosts(ChallengePort);
    server.Get(nubrio::worker::ChallengePath, [](const httplib::Request&, httplib::Response& response) {
        const nlohmann::json answer = {{"pid", static_cast<int>(getpid())}, {"version", NUBRIO_SERVICE_VERSION}};
        response.set_content(answer.dump(), "application/json");
    });

    std::atomic<bool> listenReturned = false;
    std::atomic<bool> stopRequested = false;
    std::thread waiter([&] {
        int received = 0;
        if (sigwait(&stopSignals, &received) != 0) return;
        stopRequested = true;
        log(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
        // httplib ignores stop() until its accept loop runs; a signal can arrive just before.
        while (!server.is_running() && !listenReturned)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.stopServing();
    });

    const bool listened = server.listen_after_bind();
    listenReturned = true;
    if (stopRequested) {
        waiter.join();
        log("stopped");
        return 0;
    }
    // The accept loop failed by itself; an ordinary failure, so the application restarts the worker.
    log(listened ? "server ended unexpectedly" : "server failed while accepting connections");
    waiter.detach();
    return 1;
}
