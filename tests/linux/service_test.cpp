// The worker NubrioService from the bundle, started as a real child in a temporary working folder.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <plist/plist.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <QString>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_home.h"
#include "support/wait.h"
#include "worker/contract.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nubrio::testing::readFile;

// Generous: a loaded machine may be slow to start a process, and nothing here measures speed.
constexpr auto kDeadline = 30s;

fs::path workerExecutable() {
    return fs::path(NUBRIO_BUNDLE_PATH) / "Contents/Resources" / nubrio::worker::ExecutablePath;
}

// The version the application compares with: the bundle's short version string.
std::string bundleVersion() {
    const std::string xml = readFile(fs::path(NUBRIO_BUNDLE_PATH) / "Contents/Info.plist");
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    std::string version;
    if (plist_t node = root ? plist_dict_get_item(root, "CFBundleShortVersionString") : nullptr) {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        if (text) version = text;
        free(text);
    }
    if (root) plist_free(root);
    return version;
}

sockaddr_in loopbackPort() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nubrio::worker::ChallengePort);
    inet_pton(AF_INET, nubrio::worker::ChallengeHost, &address.sin_addr);
    return address;
}

// A connected socket to the worker's port, or -1.
int connectToPort() {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackPort();
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

struct HttpAnswer {
    int status = 0;
    std::string head;  // status line and headers, header names as sent
    std::string body;
};

bool sendAll(int sock, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Sends the request line and headers, then `body` `repeats` times or until the worker stops taking it,
// and reads the worker's answer until it closes the connection. A reset after the answer, as when the
// worker closes with a body unread, leaves what arrived before it readable.
std::optional<HttpAnswer> exchange(const std::string& head, const std::string& body = "", int repeats = 0) {
    int sock = connectToPort();
    if (sock < 0) return std::nullopt;
    timeval timeout{5, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (!sendAll(sock, head)) {
        close(sock);
        return std::nullopt;
    }
    for (int i = 0; i < repeats && sendAll(sock, body); ++i) {
    }
    std::string raw;
    char buffer[4096];
    for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, n);
    close(sock);
    const auto end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return std::nullopt;
    return HttpAnswer{std::stoi(raw.substr(9, 3)), raw.substr(0, end), raw.substr(end + 4)};
}

std::optional<HttpAnswer> httpGet(const std::string& path) {
    return exchange("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nConnection: close\r\n\r\n");
}

bool contains(const std::string& text, const char* part) {
    return QString::fromStdString(text).indexOf(part, 0, Qt::CaseInsensitive) != -1;
}

// A field of /proc/<pid>/status in kB, e.g. VmHWM: the most the process has ever held resident.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// A gzip stream of `size` zero bytes: about a thousandth of that on the wire.
std::string gzipOfZeros(std::size_t size) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> out(1 << 16);
    std::string gzip;
    for (std::size_t left = size;;) {
        const std::size_t take = std::min(left, zeros.size());
        left -= take;
        stream.next_in = zeros.data();
        stream.avail_in = static_cast<uInt>(take);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        int result;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            result = deflate(&stream, flush);
            gzip.append(reinterpret_cast<char*>(out.data()), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        if (result == Z_STREAM_END) break;
    }
    deflateEnd(&stream);
    return gzip;
}

bool isValidUtf8(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())).toUtf8().toStdString() == bytes;
}

// One worker process, always ended and reaped by the end of the test.
class Worker {
public:
    explicit Worker(const fs::path& folder) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        const std::string program = workerExecutable().string();
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) pid_ = -1;
    }
    ~Worker() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            int ignored;
            waitpid(pid_, &ignored, 0);
        }
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    pid_t pid() const { return pid_; }

    // The raw wait status once the process has ended, or none at the deadline.
    std::optional<int> waitForExit(Clock::duration within = kDeadline) {
        if (!status_) status_ = nubrio::testing::waitForExit(pid_, Clock::now() + within);
        return status_;
    }

    // Whether the worker came up and proved itself: the challenge names this very process.
    bool waitUntilAnswering() {
        for (auto deadline = Clock::now() + kDeadline; Clock::now() < deadline;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                return false;
            }
            if (auto answer = httpGet(nubrio::worker::ChallengePath)) {
                auto json = nlohmann::json::parse(answer->body, nullptr, false);
                if (json.is_object() && json.value("pid", -1) == pid_) return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // Stops the worker the way the application does and returns its raw wait status.
    std::optional<int> stop(int signal = SIGTERM, Clock::duration within = kDeadline) {
        if (!status_) kill(pid_, signal);  // once reaped, the pid may belong to someone else
        return waitForExit(within);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool exitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// Clients that each send one byte of a request that never ends every half second, each byte well
// within any timeout for a single read, and connect again whenever the worker ends their connection.
class SlowClients {
public:
    explicit SlowClients(int count) : count_(count) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { drip(); });
    }
    ~SlowClients() {
        done_ = true;
        for (std::thread& thread : threads_) thread.join();
    }
    SlowClients(const SlowClients&) = delete;
    SlowClients& operator=(const SlowClients&) = delete;

    bool allConnected() const { return connected_ == count_; }
    bool allCutOff() const { return cutOff_ == count_; }  // each one at least once

private:
    void drip() {
        const std::string request = "GET /api/desktop/challenge HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nX-Slow: ";
        bool wasCutOff = false;
        int sock = -1;
        std::size_t sent = 0;
        while (!done_) {
            if (sock < 0) {
                if ((sock = connectToPort()) < 0) {
                    std::this_thread::sleep_for(50ms);
                    continue;
                }
                ++connected_;
                sent = 0;
            }
            // Readable means the worker answered or closed: either way this request is over.
            pollfd ended{sock, POLLIN, 0};
            const char byte = sent < request.size() ? request[sent] : 'a';
            if (poll(&ended, 1, 0) != 0 || send(sock, &byte, 1, MSG_NOSIGNAL) != 1) {
                close(sock);
                sock = -1;
                --connected_;
                if (!wasCutOff) ++cutOff_;
                wasCutOff = true;
                continue;
            }
            ++sent;
            for (int i = 0; i < 10 && !done_; ++i) std::this_thread::sleep_for(50ms);
        }
        if (sock >= 0) close(sock);
    }

    const int count_;
    std::atomic<bool> done_ = false;
    std::atomic<int> connected_ = 0;
    std::atomic<int> cutOff_ = 0;
    std::vector<std::thread> threads_;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(workerExecutable())) << workerExecutable();
        // An earlier test's worker, or someone else's program, may still hold the port for a moment.
        auto deadline = Clock::now() + kDeadline;
        for (int sock; (sock = connectToPort()) >= 0 && Clock::now() < deadline;) {
            close(sock);
            std::this_thread::sleep_for(100ms);
        }
        int sock = connectToPort();
        if (sock >= 0) close(sock);
        ASSERT_LT(sock, 0) << "another program listens on 127.0.0.1:4173";
        fs::create_directories(folder);
    }

    fs::path logs() const { return folder / nubrio::worker::LogsFolder; }
    fs::path startupError() const { return folder / nubrio::worker::StartupErrorFile; }

    nubrio::testing::TempHome home;
    fs::path folder = home.path() / "Nubrio";
};

TEST_F(ServiceTest, AnswersTheChallengeWithItsPidAndTheBundleVersion) {
    fs::create_directories(logs());
    std::ofstream(startupError()) << "an old failure\n";

    Worker worker(folder);
    ASSERT_TRUE(worker.waitUntilAnswering());

    auto answer = httpGet(nubrio::worker::ChallengePath);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_NE(QString::fromStdString(answer->head).indexOf("Content-Type: application/json", 0, Qt::CaseInsensitive), -1)
        << answer->head;
    auto json = nlohmann::json::parse(answer->body, nullptr, false);
    ASSERT_TRUE(json.is_object()) << answer->body;
    ASSERT_TRUE(json["pid"].is_number_integer());
    EXPECT_EQ(json["pid"].get<int>(), worker.pid());
    ASSERT_FALSE(bundleVersion().empty());
    EXPECT_EQ(json["version"], bundleVersion());

    for (const char* path : {"/", "/api/desktop/challenge/more", "/api/desktop"}) {
        auto other = httpGet(path);
        ASSERT_TRUE(other) << path;
        EXPECT_EQ(other->status, 404) << path;
    }

    EXPECT_FALSE(fs::exists(startupError())) << "a stale start-up error outlives a good start";
    EXPECT_TRUE(exitedWith(worker.stop(), 0));
    EXPECT_FALSE(readFile(logs() / "service.log").empty());
}

class ServiceStopTest : public ServiceTest, public ::testing::WithParamInterface<int> {};

TEST_P(ServiceStopTest, EndsWithStatusZeroAndFreesThePortForARestart) {
    Worker worker(folder);
    ASSERT_TRUE(worker.waitUntilAnswering());
    // A finished request leaves the port in TIME_WAIT; a probe in flight stays open across the stop.
    ASSERT_TRUE(httpGet(nubrio::worker::ChallengePath));
    FileDescriptor idle{connectToPort()};
    ASSERT_GE(idle.fd, 0);

    EXPECT_TRUE(exitedWith(worker.stop(GetParam()), 0));

    Worker restarted(folder);
    EXPECT_TRUE(restarted.waitUntilAnswering()) << "the port could not be bound again right after a stop";
    EXPECT_TRUE(exitedWith(restarted.stop(), 0));
    EXPECT_FALSE(readFile(logs() / "service.log").empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, ServiceStopTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

// Who holds the port when a worker starts.
enum class Holder { AnotherWorker, ForeignProgramSharingThePort };

class ServicePortHeldTest : public ServiceTest, public ::testing::WithParamInterface<Holder> {};

TEST_P(ServicePortHeldTest, ExitsThreeWithASpanishExplanation) {
    std::optional<Worker> first;
    FileDescriptor foreign;
    if (GetParam() == Holder::AnotherWorker) {
        fs::create_directories(home.path() / "first");
        first.emplace(home.path() / "first");
        ASSERT_TRUE(first->waitUntilAnswering());
    } else {
        // A program that allows sharing: a worker that allowed it too would bind beside it.
        foreign.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(foreign.fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(foreign.fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        sockaddr_in address = loopbackPort();
        ASSERT_EQ(bind(foreign.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(foreign.fd, 4), 0);
    }

    Worker second(folder);
    EXPECT_TRUE(exitedWith(second.waitForExit(), nubrio::worker::StartupFailureStatus));
    const std::string text = readFile(startupError());
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("4173"), std::string::npos) << text;
    EXPECT_NE(text.find("Cerrá"), std::string::npos) << text;

    if (first) {
        auto answer = httpGet(nubrio::worker::ChallengePath);
        ASSERT_TRUE(answer);
        EXPECT_EQ(nlohmann::json::parse(answer->body, nullptr, false).value("pid", -1), first->pid());
        EXPECT_TRUE(exitedWith(first->stop(), 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, ServicePortHeldTest,
                         ::testing::Values(Holder::AnotherWorker, Holder::ForeignProgramSharingThePort),
                         [](const auto& info) {
                             return info.param == Holder::AnotherWorker ? "AnotherWorker" : "ForeignProgram";
                         });

// Any local program or web page can send these. Each is refused before its body is read, and the
// bodies, which would inflate or stream to hundreds of MB in a worker that read them, leave its
// memory as it was; so does a request whose headers never end.
TEST_F(ServiceTest, RefusesRequestBodiesUnreadAndKeepsItsMemory) {
    constexpr std::size_t kBodySize = 256u << 20;
    const std::string gzip = gzipOfZeros(kBodySize);
    const std::string zeros(1u << 20, '\0');
    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nContent-Type: application/octet-stream\r\n";
    struct Case {
        const char* name;
        std::string head;
        std::string body;  // sent `repeats` times after the head, or until the worker closes
        int repeats;
        int status;
    };
    const Case cases[] = {
        {"gzip that inflates to 256 MB",
         post + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gzip.size()) + "\r\n\r\n", gzip, 1, 413},
        {"256 MB in chunks", post + "Transfer-Encoding: chunked\r\n\r\n", "100000\r\n" + zeros + "\r\n", 256, 413},
        {"3 GB announced, 256 MB sent", post + "Content-Length: 3000000000\r\n\r\n", zeros, 256, 413},
        // Refused at once, rather than invited to send with "100 Continue".
        {"3 GB announced, waiting for 100 Continue",
         post + "Content-Length: 3000000000\r\nExpect: 100-continue\r\n\r\n", "", 0, 413},
        // No body, but a header line that never ends: only so much of a request is read (431 Request
        // Header Fields Too Large, libmicrohttpd's answer to a head beyond its memory limit).
        {"256 MB in one header line", "GET / HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nX-Long: ", std::string(1u << 20, 'a'), 256,
         431},
        {"a zero length is no body",
         std::string("GET ") + nubrio::worker::ChallengePath + " HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nContent-Length: 0\r\n\r\n",
         "", 0, 200},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Worker worker(folder);  // its own, so that its peak memory is this request's
        ASSERT_TRUE(worker.waitUntilAnswering());
        const long peakBefore = statusKb(worker.pid(), "VmHWM");
        ASSERT_GT(peakBefore, 0);
        auto answer = exchange(c.head, c.body, c.repeats);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, c.status) << answer->head;
        EXPECT_TRUE(contains(answer->head, "Connection: close")) << answer->head;
        // Generous: a request costs the worker well under 1 MB; one of these bodies held whole, 256 MB.
        EXPECT_LT(statusKb(worker.pid(), "VmHWM") - peakBefore, 64 * 1024) << "kB more at the peak";
        EXPECT_TRUE(worker.waitUntilAnswering());
        EXPECT_TRUE(exitedWith(worker.stop(), 0));
    }
}

TEST_F(ServiceTest, AnswersTheChallengeWhileSlowClientsHoldConnections) {
    Worker worker(folder);
    ASSERT_TRUE(worker.waitUntilAnswering());
    SlowClients slow(8);
    ASSERT_TRUE(nubrio::testing::waitUntil([&] { return slow.allConnected(); }, Clock::now() + kDeadline));
    std::this_thread::sleep_for(1s);  // each well into its request

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        auto answer = httpGet(nubrio::worker::ChallengePath);
        ASSERT_TRUE(answer) << "the slow clients starve the challenge";
        EXPECT_EQ(answer->status, 200);
        EXPECT_EQ(nlohmann::json::parse(answer->body, nullptr, false).value("pid", -1), worker.pid());
    }
    EXPECT_TRUE(nubrio::testing::waitUntil([&] { return slow.allCutOff(); }, Clock::now() + kDeadline))
        << "a request that never ends keeps its connection";
    EXPECT_TRUE(exitedWith(worker.stop(), 0));
}

TEST_F(ServiceTest, StopsPromptlyWhileSlowClientsHoldConnections) {
    Worker worker(folder);
    ASSERT_TRUE(worker.waitUntilAnswering());
    SlowClients slow(8);
    ASSERT_TRUE(nubrio::testing::waitUntil([&] { return slow.allConnected(); }, Clock::now() + kDeadline));
    std::this_thread::sleep_for(1s);

    // A guard well beyond the 3 s the application waits before it kills the worker (the benchmark
    // measures the stop); a worker that waits for its slow clients takes as long as they drip.
    EXPECT_TRUE(exitedWith(worker.stop(SIGTERM, 10s), 0));
    EXPECT_FALSE(readFile(logs() / "service.log").empty());
}

TEST_F(ServiceTest, RunsWhenItsLogCannotBeWritten) {
    std::ofstream(logs()) << "a file where the logs folder should be\n";

    Worker worker(folder);
    EXPECT_TRUE(worker.waitUntilAnswering());
    EXPECT_TRUE(exitedWith(worker.stop(), 0));
}

TEST_F(ServiceTest, ExitsThreeWhenItsFolderIsNotWritable) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
    fs::create_directories(logs());
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);

    Worker worker(folder);
    EXPECT_TRUE(exitedWith(worker.waitForExit(), nubrio::worker::StartupFailureStatus));
    EXPECT_FALSE(readFile(startupError()).empty());
    fs::permissions(folder, fs::perms::owner_all);
}

// DNS rebinding: a page whose own name was made to point at 127.0.0.1 reaches the port, but its
// requests carry its name. Only the loopback names on this port are answered; a request without
// Host (HTTP/1.0) comes from no browser.
TEST_F(ServiceTest, AnswersOnlyRequestsAddressedToTheLoopback) {
    Worker worker(folder);
    ASSERT_TRUE(worker.waitUntilAnswering());
    const std::string path = nubrio::worker::ChallengePath;
    const std::pair<std::string, int> hosts[] = {
        {"Host: 127.0.0.1:4173\r\n", 200},
        {"Host: localhost:4173\r\n", 200},
        {"Host: [::1]:4173\r\n", 200},
        {"Host: LocalHost:4173\r\n", 200},
        {"", 200},
        {"Host: nubrio-rebind.example:4173\r\n", 421},
        {"Host: 127.0.0.1.nip.example:4173\r\n", 421},
        {"Host: 127.0.0.1\r\n", 421},
        {"Host: 127.0.0.1:80\r\n", 421},
        {"Host: localhost:41730\r\n", 421},
    };
    for (const auto& [host, status] : hosts) {
        SCOPED_TRACE(host.empty() ? "no Host" : host);
        const std::string version = host.empty() ? "HTTP/1.0" : "HTTP/1.1";
        auto answer = exchange("GET " + path + " " + version + "\r\n" + host + "Connection: close\r\n\r\n");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, status);
        EXPECT_EQ(answer->body.find(std::to_string(worker.pid())) != std::string::npos, status == 200) << answer->body;
    }
    EXPECT_TRUE(exitedWith(worker.stop(), 0));
}

// Links planted at the worker's log paths: it writes neither through them nor to their targets; the
// start-up error replaces a link at its name with a file of its own.
TEST_F(ServiceTest, WritesNoLogThroughALink) {
    const char* names[] = {"service.log", "startup-error.txt", "startup-error.txt.partial"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        nubrio::testing::TempHome scratch;
        const fs::path data = scratch.path() / "Nubrio";
        const fs::path target = scratch.path() / "target.txt";
        fs::create_directories(data / nubrio::worker::LogsFolder);
        std::ofstream(target) << "someone else's file\n";
        fs::create_symlink(target, data / nubrio::worker::LogsFolder / name);

        {
            Worker worker(data);
            ASSERT_TRUE(worker.waitUntilAnswering());
            // The port held by this one: a second worker fails and writes its start-up error.
            Worker second(data);
            EXPECT_TRUE(exitedWith(second.waitForExit(), nubrio::worker::StartupFailureStatus));
            EXPECT_TRUE(exitedWith(worker.stop(), 0));
        }
        EXPECT_EQ(readFile(target), "someone else's file\n");
        const fs::path error = data / nubrio::worker::StartupErrorFile;
        EXPECT_FALSE(fs::is_symlink(error));
        EXPECT_NE(readFile(error).find("4173"), std::string::npos);
    }
}

// A link planted at the logs folder itself: the worker writes neither its log nor its start-up error
// into the link's target, and removes nothing there; it runs without its logs.
TEST_F(ServiceTest, WritesNoLogThroughALinkedLogsFolder) {
    const fs::path elsewhere = home.path() / "elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / "startup-error.txt") << "someone else's file\n";
    fs::create_symlink(elsewhere, logs());

    {
        Worker worker(folder);
        ASSERT_TRUE(worker.waitUntilAnswering());
        // The port held by this one: a second worker fails and would write its start-up error.
        Worker second(folder);
        EXPECT_TRUE(exitedWith(second.waitForExit(), nubrio::worker::StartupFailureStatus));
        EXPECT_TRUE(exitedWith(worker.stop(), 0));
    }
    EXPECT_TRUE(fs::is_symlink(logs()));
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(elsewhere))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"startup-error.txt"});
    EXPECT_EQ(readFile(elsewhere / "startup-error.txt"), "someone else's file\n");
}

// Private by default: a logs folder made by the worker is the user's alone, and so are its logs; a
// folder that exists keeps its mode.
TEST_F(ServiceTest, MakesItsLogsPrivateAndLeavesAnExistingFolderAsItIs) {
    const mode_t previous = ::umask(022);
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "existing 0755 folder" : "new folder");
        nubrio::testing::TempHome scratch;
        const fs::path data = scratch.path() / "Nubrio";
        fs::create_directories(data);
        if (existing) {
            fs::create_directories(data / nubrio::worker::LogsFolder);
            ::chmod((data / nubrio::worker::LogsFolder).c_str(), 0755);
        }
        {
            Worker worker(data);
            ASSERT_TRUE(worker.waitUntilAnswering());
            Worker second(data);
            EXPECT_TRUE(exitedWith(second.waitForExit(), nubrio::worker::StartupFailureStatus));
            EXPECT_TRUE(exitedWith(worker.stop(), 0));
        }
        const auto mode = [](const fs::path& path) {
            struct stat info {};
            return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
        };
        EXPECT_EQ(mode(data / nubrio::worker::LogsFolder), existing ? 0755u : 0700u);
        EXPECT_EQ(mode(data / nubrio::worker::LogsFolder / "service.log"), 0600u);
        EXPECT_EQ(mode(data / nubrio::worker::StartupErrorFile), 0600u);
    }
    ::umask(previous);
}

}  // namespace
