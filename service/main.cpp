// NubrioService: the worker that the tray application keeps running. It serves the challenge that
// proves to the application that this process is its own worker, keeps a log in logs/ under its
// working folder, ends with status 0 on SIGTERM or SIGINT, and exits 3 with an explanation for the
// user in logs/startup-error.txt when it cannot start. Its port is open to every local program and web
// page, so its server (bounded_server.h) limits what any one client can cost it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include "service/bounded_server.h"
#include "worker/contract.h"

namespace {

using nubrio::worker::ChallengeHost;
using nubrio::worker::ChallengePort;

const std::string kLogFile = "service.log";
const std::string kStartupErrorFile = std::filesystem::path(nubrio::worker::StartupErrorFile).filename();

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

// The logs folder, the folder itself and never a link's target, or -1; each file in it is then opened
// relative to it, so a link planted at `logs` cannot send them elsewhere either.
class OpenLogsFolder {
public:
    OpenLogsFolder() : fd_(::open(nubrio::worker::LogsFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}
    ~OpenLogsFolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenLogsFolder(const OpenLogsFolder&) = delete;
    OpenLogsFolder& operator=(const OpenLogsFolder&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Appends one timestamped line; the log is a convenience, so any failure here is ignored. The log
// is only ever a regular file of ours: never a link's target, never a FIFO that would block.
void log(const std::string& line) {
    std::lock_guard lock(logMutex);
    char stamp[64] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %z", &local);
    const OpenLogsFolder folder;
    const int fd = ::openat(folder.fd(), kLogFile.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        writeAll(fd, std::string(stamp) + " [" + std::to_string(getpid()) + "] " + line + "\n");
    ::close(fd);
}

// Private to the user when made here; an existing folder keeps its mode.
void createLogsFolder() { ::mkdir(nubrio::worker::LogsFolder, 0700); }

// An old explanation describes a problem that is gone, or not this one.
void removeStartupError() {
    const OpenLogsFolder folder;
    if (folder.fd() >= 0) ::unlinkat(folder.fd(), kStartupErrorFile.c_str(), 0);
}

// Replaced as a whole, so the application never reads half a message. Written to a new file of our
// own (whatever was planted at the temporary name goes first, a link included, never its target)
// and renamed over the old one, which replaces a link rather than writing through it.
bool writeStartupError(const std::string& text) {
    const OpenLogsFolder folder;
    if (folder.fd() < 0) return false;
    const std::string partial = kStartupErrorFile + ".partial";
    ::unlinkat(folder.fd(), partial.c_str(), 0);
    const int fd = ::openat(folder.fd(), partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = writeAll(fd, text);
    if (::close(fd) != 0 || !written) {
        ::unlinkat(folder.fd(), partial.c_str(), 0);
        return false;
    }
    return ::renameat(folder.fd(), partial.c_str(), folder.fd(), kStartupErrorFile.c_str()) == 0;
}

// Exits with the status that tells the application that this computer cannot run the worker. When
// the explanation cannot be written, an older one must not stand in for it: the application then
// shows its own fallback text.
[[noreturn]] void failStartup(const std::string& explanation, const std::string& detail) {
    createLogsFolder();
    if (!writeStartupError(explanation)) removeStartupError();
    log("cannot start: " + detail);
    std::fprintf(stderr, "NubrioService: cannot start: %s\n", detail.c_str());
    std::exit(nubrio::worker::StartupFailureStatus);
}

// The listening socket on the worker's port, or -1 with errno saying why not. Only SO_REUSEADDR, so a
// quick restart binds despite connections in TIME_WAIT; never SO_REUSEPORT, with which a second worker
// would share the port instead of failing.
int listenOnPort(int backlog) {
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0) return -1;
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ChallengePort);
    ::inet_pton(AF_INET, ChallengeHost, &address.sin_addr);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(sock, backlog) == 0)
        return sock;
    const int error = errno;
    ::close(sock);
    errno = error;
    return -1;
}

[[noreturn]] void failBind(int error) {
    const std::string port = std::to_string(ChallengePort);
    const std::string detail =
        std::string("cannot listen on ") + ChallengeHost + ":" + port + ": " + std::strerror(error);
    if (error == EADDRINUSE)
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

}  // namespace

int main() {
    // Blocked before any thread exists, so every thread inherits the mask and only main receives these
    // signals, in sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const nubrio::service::ServerLimits limits;
    const int listener = listenOnPort(static_cast<int>(limits.connections));
    const int bindError = errno;
    // Error texts (strerror) in the user's language, as the application's alerts.
    std::setlocale(LC_ALL, "");
    if (listener < 0) failBind(bindError);

    requireWritableFolder();
    createLogsFolder();
    // Only a failed start writes this file; an old one would describe a problem that is gone.
    removeStartupError();
    log(std::string("NubrioService ") + NUBRIO_SERVICE_VERSION + " started");
    log(std::string("listening on http://") + ChallengeHost + ":" + std::to_string(ChallengePort));

    const std::string challenge =
        nlohmann::json{{"pid", static_cast<int>(getpid())}, {"version", NUBRIO_SERVICE_VERSION}}.dump();
    nubrio::service::BoundedServer server(
        [&](std::string_view path) -> std::optional<nubrio::service::Answer> {
            if (path != nubrio::worker::ChallengePath) return std::nullopt;
            return nubrio::service::Answer{200, "application/json", challenge};
        },
        ChallengePort, limits);
    if (!server.start(listener)) {
        // An ordinary failure: the application restarts the worker.
        log("the server could not start");
        return 1;
    }

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    log(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    log("stopped");
    return 0;
}
