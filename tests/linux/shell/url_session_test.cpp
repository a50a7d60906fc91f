// The readiness GET against small servers on 127.0.0.1 that answer, fail, stall or drip; and the
// network module it loads: the bundle's own, files that must not be loaded, and stand-ins that load
// slowly, hang or crash.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/build_config.h"
#include "platform/linux/shell/url_session.h"
#include "support/spin.h"
#include "support/temp_home.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;
using nubrio::testing::spinFor;
using nubrio::testing::spinUntil;

constexpr int kPort = 4173;
const std::string kUrl = "http://127.0.0.1:4173/api/desktop/challenge";
const std::filesystem::path kModule = std::filesystem::path(NUBRIO_BUNDLE_PATH) / config::NetworkModule;
const std::filesystem::path kTrial = std::filesystem::path(NUBRIO_BUNDLE_PATH) / config::LoadTrial;
const std::filesystem::path kStandIns = STAND_INS_PATH;

// The module at `file`, tried by the bundle's trial, taken when it is this user's (the build's owner).
module_loader::Module moduleAt(const std::filesystem::path& file, double trialSeconds = 15.0) {
    return {file, kTrial, ::geteuid(), trialSeconds};
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A listening socket on 127.0.0.1; port 0 takes any free port. A fixed port may still be held by an
// earlier test or worker for a moment, so binding is retried for a while.
int listenOn(int port) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 16) == 0)
            return fd;
        ::close(fd);
        if (errno != EADDRINUSE || secondsSince(start) > 60) return -1;
        std::this_thread::sleep_for(100ms);
    }
}

int portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Serves every connection with `behaviour` on a thread of its own until destroyed.
class Server {
public:
    using Behaviour = std::function<void(int connection, const std::atomic<bool>& stopping)>;

    Server(int port, Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        listener_ = listenOn(port);
        if (listener_ >= 0) acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~Server() {
        stopping_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& connection : connections_) connection.join();
        if (listener_ >= 0) ::close(listener_);
    }

    bool listening() const { return listener_ >= 0; }
    int port() const { return portOf(listener_); }

private:
    void acceptLoop() {
        while (!stopping_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) continue;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            connections_.emplace_back([this, connection] {
                behaviour_(connection, stopping_);
                ::close(connection);
            });
        }
    }

    Behaviour behaviour_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> connections_;
};

// Reads up to the end of the request head; false when the server is stopping or the client went away.
bool readRequest(int connection, const std::atomic<bool>& stopping) {
    std::string head;
    char buffer[4096];
    while (!stopping && head.find("\r\n\r\n") == std::string::npos) {
        pollfd waiting{connection, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) continue;
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    return !stopping;
}

void sendAll(int connection, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

Server::Behaviour answer(int status, std::string body, std::string extraHeaders = "") {
    return [=](int connection, const std::atomic<bool>& stopping) {
        if (!readRequest(connection, stopping)) return;
        sendAll(connection, "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" +
                                body);
    };
}

void waitUntilStopping(const std::atomic<bool>& stopping) {
    while (!stopping) std::this_thread::sleep_for(10ms);
}

struct Outcome {
    bool completed = false;
    int completions = 0;
    std::optional<std::string> body;
    double seconds = 0;
};

Outcome fetch(LinuxUrlSession& session, double timeout, const std::string& url = kUrl) {
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    session.get({url, platform::CachePolicy::ReloadIgnoringLocalCacheData, timeout},
                [&outcome, start](std::optional<std::string> body) {
                    ++outcome.completions;
                    outcome.body = std::move(body);
                    outcome.seconds = secondsSince(start);
                });
    outcome.completed = spinUntil([&outcome] { return outcome.completions > 0; }, 15s);
    spinFor(200ms);  // a second completion would show up here
    return outcome;
}

struct BodyCase {
    const char* name;
    Server::Behaviour behaviour;
    std::optional<std::string> body;
};

TEST(UrlSessionTest, TheBodyCountsWhateverTheStatusWithinTheCap) {
    const std::string atCap(LinuxUrlSession::MaximumBodySize, 'x');
    const BodyCase cases[] = {
        {"200", answer(200, R"({"pid":42,"version":"1.0.0"})"), R"({"pid":42,"version":"1.0.0"})"},
        {"500", answer(500, R"({"pid":42})"), R"({"pid":42})"},
        {"404", answer(404, "missing"), "missing"},
        {"empty 200", answer(200, ""), ""},
        {"redirect, not followed", answer(302, "moved", "Location: " + kUrl + "\r\n"), "moved"},
        {"body at the cap", answer(200, atCap), atCap},
        {"body over the cap", answer(200, atCap + "y"), std::nullopt},
    };
    LinuxUrlSession session(moduleAt(kModule));
    for (const BodyCase& expected : cases) {
        SCOPED_TRACE(expected.name);
        Server server(kPort, expected.behaviour);
        ASSERT_TRUE(server.listening());
        const Outcome outcome = fetch(session, 5.0);
        ASSERT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.completions, 1);
        // Compared whole, reported briefly: the bodies at the cap are long.
        EXPECT_TRUE(outcome.body == expected.body)
            << "got " << (outcome.body ? std::to_string(outcome.body->size()) + " bytes: " + outcome.body->substr(0, 40)
                                       : "no body");
    }
}

TEST(UrlSessionTest, RefusedConnectionHasNoBody) {
    { Server holder(kPort, answer(200, "")); }  // waits until the port is free, then frees it again
    LinuxUrlSession session(moduleAt(kModule));
    const Outcome outcome = fetch(session, 5.0);
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.body, std::nullopt);
}

TEST(UrlSessionTest, ServerThatNeverAnswersRunsIntoTheTimeout) {
    Server server(kPort, [](int connection, const std::atomic<bool>& stopping) {
        readRequest(connection, stopping);
        waitUntilStopping(stopping);
    });
    ASSERT_TRUE(server.listening());
    LinuxUrlSession session(moduleAt(kModule));
    const Outcome outcome = fetch(session, 0.5);
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.body, std::nullopt);
    EXPECT_GE(outcome.seconds, 0.45);
}

TEST(UrlSessionTest, TimeoutBoundsTheWholeRequestNotJustSilence) {
    // A byte every 100 ms would take 100 s for the whole body.
    Server server(kPort, [](int connection, const std::atomic<bool>& stopping) {
        if (!readRequest(connection, stopping)) return;
        sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
        for (int i = 0; i < 1000 && !stopping; ++i) {
            sendAll(connection, "x");
            std::this_thread::sleep_for(100ms);
        }
    });
    ASSERT_TRUE(server.listening());
    LinuxUrlSession session(moduleAt(kModule));
    const Outcome outcome = fetch(session, 0.5);
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.body, std::nullopt);
}

class ProxyVariables {
public:
    ProxyVariables(const std::string& proxy) {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
        }
        setenv("http_proxy", proxy.c_str(), 1);
        setenv("HTTP_PROXY", proxy.c_str(), 1);
        setenv("all_proxy", proxy.c_str(), 1);
        unsetenv("no_proxy");
        unsetenv("NO_PROXY");
    }
    ~ProxyVariables() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(UrlSessionTest, ProxyFromTheEnvironmentIsBypassed) {
    Server proxy(0, answer(200, "through the proxy"));
    ASSERT_TRUE(proxy.listening());
    Server worker(kPort, answer(200, "direct"));
    ASSERT_TRUE(worker.listening());
    ProxyVariables variables("http://127.0.0.1:" + std::to_string(proxy.port()));

    LinuxUrlSession session(moduleAt(kModule));
    const Outcome outcome = fetch(session, 5.0);
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.body, "direct");
}

TEST(UrlSessionTest, WithoutItsModuleEveryRequestFailsLater) {
    Server worker(kPort, answer(200, "direct"));
    ASSERT_TRUE(worker.listening());
    LinuxUrlSession session(moduleAt(kModule.parent_path() / "missing.so"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        int completions = 0;
        std::optional<std::string> body = "none yet";
        session.get({kUrl, platform::CachePolicy::ReloadIgnoringLocalCacheData, 5.0},
                    [&](std::optional<std::string> answer) {
                        ++completions;
                        body = std::move(answer);
                    });
        EXPECT_EQ(completions, 0) << "completed inside get()";
        ASSERT_TRUE(spinUntil([&completions] { return completions > 0; }, 15s));
        spinFor(100ms);
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(body, std::nullopt);
    }
}


// Counts the connections a server accepted, whatever it then does with them.
Server::Behaviour counted(std::atomic<int>& connections, Server::Behaviour behaviour) {
    return [&connections, behaviour](int connection, const std::atomic<bool>& stopping) {
        ++connections;
        behaviour(connection, stopping);
    };
}

// One request that must fail later, never inside get(); returns whether it completed, once, with no body.
void expectFailsLater(LinuxUrlSession& session, double timeout) {
    int completions = 0;
    std::optional<std::string> body = "none yet";
    session.get({kUrl, platform::CachePolicy::ReloadIgnoringLocalCacheData, timeout},
                [&](std::optional<std::string> answer) {
                    ++completions;
                    body = std::move(answer);
                });
    EXPECT_EQ(completions, 0) << "completed inside get()";
    ASSERT_TRUE(spinUntil([&completions] { return completions > 0; }, 30s));
    spinFor(100ms);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(body, std::nullopt);
}

struct UntrustedCase {
    const char* name;
    // Puts something at `path` in place of the module, from the bundle's real one; false: not here.
    std::function<bool(const std::filesystem::path& path)> plant;
    const char* reason;
};

TEST(UrlSessionModuleTest, OnlyARegularFileOfTheOwnerThatNobodyElseMayWriteIsLoaded) {
    const auto copy = [](const std::filesystem::path& path, std::filesystem::perms mode) {
        std::filesystem::copy_file(kModule, path);
        std::filesystem::permissions(path, mode);
        return true;
    };
    using std::filesystem::perms;
    const perms usual = perms::owner_all | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec;
    const UntrustedCase cases[] = {
        // Opening a FIFO for reading waits for a writer: the load must not even open it so.
        {"a FIFO", [](const auto& path) { return ::mkfifo(path.c_str(), 0755) == 0; }, "a FIFO, not a regular file"},
        {"group-writable", [&](const auto& path) { return copy(path, usual | perms::group_write); }, "writable by its group"},
        {"writable by others", [&](const auto& path) { return copy(path, usual | perms::others_write); }, "writable by others"},
        {"a link to the real module",
         [](const auto& path) {
             std::filesystem::create_symlink(kModule, path);
             return true;
         },
         "a symbolic link, not a regular file"},
        {"a folder", [](const auto& path) { return std::filesystem::create_directory(path); }, "a folder, not a regular file"},
        {"another user's",
         [&](const auto& path) { return ::geteuid() == 0 && copy(path, usual) && ::chown(path.c_str(), 65534, 65534) == 0; },
         "owned by user 65534"},
        {"missing", [](const auto&) { return true; }, "No such file or directory"},
    };
    std::atomic<int> connections{0};
    Server worker(kPort, counted(connections, answer(200, "direct")));
    ASSERT_TRUE(worker.listening());
    for (const UntrustedCase& untrusted : cases) {
        SCOPED_TRACE(untrusted.name);
        nubrio::testing::TempHome home;
        const std::filesystem::path planted = home.path() / "nubrio-network.so";
        if (!untrusted.plant(planted)) {
            std::cout << "skipped " << untrusted.name << ": needs root\n";
            continue;
        }
        LinuxUrlSession session(moduleAt(planted));
        expectFailsLater(session, 5.0);
        const std::optional<std::string> reason = session.unavailableReason();
        ASSERT_TRUE(reason.has_value());
        EXPECT_EQ(reason->rfind("cannot load " + planted.string() + ": ", 0), 0u) << *reason;
        EXPECT_NE(reason->find(untrusted.reason), std::string::npos) << *reason;
    }
    EXPECT_EQ(connections, 0) << "a request was made without the module";
}

// The dynamic loader's lock is free: a module still loading or stuck in its constructor would hold it.
bool canLoadALibraryNow() {
    std::atomic<bool> loaded{false};
    std::thread([&loaded] { loaded = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL) != nullptr; }).detach();
    for (int i = 0; i < 500 && !loaded; ++i) std::this_thread::sleep_for(10ms);
    return loaded;
}

TEST(UrlSessionModuleTest, AModuleThatHangsOrCrashesWhileLoadingCostsOnlyItsTrial) {
    struct Case {
        const char* module;
        const char* reason;
    };
    const Case cases[] = {
        {"stand_in_hanging.so", "loading it in a trial took more than 1 s"},
        {"stand_in_crashing.so", "loading it in a trial ended with signal SIGSEGV"},
    };
    for (const Case& broken : cases) {
        SCOPED_TRACE(broken.module);
        LinuxUrlSession session(moduleAt(kStandIns / broken.module, 1.0));
        // The first request waits for the load within its own timeout, then fails as a refused one.
        expectFailsLater(session, 0.3);
        ASSERT_TRUE(spinUntil(
            [&session] {
                const std::optional<std::string> reason = session.unavailableReason();
                return reason && reason->find("still loading") == std::string::npos;
            },
            30s));
        EXPECT_NE(session.unavailableReason()->find(broken.reason), std::string::npos) << *session.unavailableReason();
        EXPECT_TRUE(canLoadALibraryNow());
        expectFailsLater(session, 5.0);
    }
}

TEST(UrlSessionModuleTest, TheLoadStartedEarlyServesTheFirstRequestAtOnce) {
    const std::filesystem::path module = kStandIns / "stand_in_prompt.so";
    LinuxUrlSession session(moduleAt(module));
    session.startLoading();
    // Loaded in this process (found by its file, whatever name it was opened by) and then handed over.
    ASSERT_TRUE(spinUntil([&module] { return dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr; }, 30s));
    spinFor(200ms);

    int completions = 0;
    std::optional<std::string> body;
    session.get({kUrl, platform::CachePolicy::ReloadIgnoringLocalCacheData, 2.0},
                [&](std::optional<std::string> answer) {
                    ++completions;
                    body = std::move(answer);
                });
    // The stand-in answers inside its get(): the request went straight to it, with no wait.
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(body, "from the stand-in module");
    EXPECT_EQ(session.unavailableReason(), std::nullopt);
}

TEST(UrlSessionModuleTest, ARequestWaitsForTheLoadWithinItsOwnTimeout) {
    // Each load of this stand-in, the trial's and then this process's, takes 0.6 s.
    LinuxUrlSession session(moduleAt(kStandIns / "stand_in_slow.so"));
    // Shorter than the load: fails as a refused request would.
    expectFailsLater(session, 0.2);

    int completions = 0;
    std::optional<std::string> body;
    session.get({kUrl, platform::CachePolicy::ReloadIgnoringLocalCacheData, 20.0},
                [&](std::optional<std::string> answer) {
                    ++completions;
                    body = std::move(answer);
                });
    EXPECT_EQ(completions, 0) << "served before the module could have loaded";
    ASSERT_TRUE(spinUntil([&completions] { return completions > 0; }, 30s));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(body, "from the stand-in module");
}

}  // namespace
}  // namespace nubrio::linux_platform
