// The single-instance socket: claims, live and stale holders, and link hand-over between copies.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/instance_registry_linux.h"
#include "support/spin.h"
#include "support/temp_home.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nubrio::linux_platform::InstanceRegistry;
using State = InstanceRegistry::State;
using nubrio::testing::spinUntil;
using ::testing::ElementsAre;

// Generous: nothing here measures speed.
constexpr auto kDeadline = 30s;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

fs::path makeFolder(const fs::path& path, mode_t mode) {
    fs::create_directories(path);
    chmod(path.c_str(), mode);
    return path;
}

class InstanceRegistryTest : public ::testing::Test {
protected:
    nubrio::testing::TempHome home;
    fs::path runtime = makeFolder(home.path() / "run", 0700);
    ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
    // The fallback folder goes under the temporary home too.
    ScopedEnv tmpEnv{"TMPDIR", makeFolder(home.path() / "tmp", 0755).string()};
    fs::path socket = runtime / "app.nubrio.desktop";
};

// Runs `work` on another thread while this one serves the event loop, as a second copy would.
template <typename Work>
auto fromAnotherProcessLikeThread(Work work) {
    std::future<decltype(work())> result = std::async(std::launch::async, work);
    EXPECT_TRUE(spinUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, kDeadline));
    return result.get();
}

// A raw client: sends the bytes, half-closes, and reports whether the holder acknowledged.
bool sendRaw(const fs::path& path, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the holder may close on us halfway through an oversized message
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    pollfd waiting{fd, POLLIN, 0};
    char byte = 0;
    const bool acknowledged = poll(&waiting, 1, 30000) == 1 && recv(fd, &byte, 1, 0) == 1;
    close(fd);
    return acknowledged;
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

// A holder in another process: the helper binds and listens at the path.
class SocketHolder {
public:
    explicit SocketHolder(const fs::path& socket) {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string program = std::string(NUBRIO_TEST_HELPERS_DIR) + "/socket_holder";
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(socket.c_str()), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char line[16] = {};
        pollfd waiting{out[0], POLLIN, 0};
        ready_ = poll(&waiting, 1, 30000) == 1 && read(out[0], line, sizeof line - 1) > 0 &&
                 std::string(line).rfind("ready", 0) == 0;
        close(out[0]);
    }
    ~SocketHolder() { kill(); }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // Ends it at once: the socket file stays behind, as after a crash.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

ino_t inodeOf(const fs::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST_F(InstanceRegistryTest, FirstClaimWinsAndLaterOnesSeeTheLiveHolder) {
    ASSERT_EQ(InstanceRegistry::defaultSocketPath(), std::optional<fs::path>(socket));
    InstanceRegistry first(socket);
    ASSERT_EQ(first.claim(), State::Holder);

    struct stat info {};
    ASSERT_EQ(lstat(socket.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const ino_t bound = info.st_ino;

    InstanceRegistry second(socket);
    EXPECT_EQ(second.claim(), State::OtherCopy);
    EXPECT_EQ(second.otherPid(), std::optional<int>(getpid()));
    EXPECT_EQ(inodeOf(socket), bound) << "a live holder is never replaced";
    EXPECT_THAT(first.runningPids(), ElementsAre(getpid()));
    EXPECT_THAT(second.runningPids(), ElementsAre(getpid(), getpid()));
}

TEST_F(InstanceRegistryTest, HolderInAnotherProcessIsCountedUntilItDiesThenItsSocketIsReplaced) {
    SocketHolder other(socket);
    ASSERT_TRUE(other.ready());

    InstanceRegistry registry(socket);
    ASSERT_EQ(registry.claim(), State::OtherCopy);
    EXPECT_EQ(registry.otherPid(), std::optional<int>(other.pid()));
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid(), other.pid()));

    other.kill();
    ASSERT_TRUE(fs::exists(fs::symlink_status(socket))) << "a killed holder leaves its socket file";
    // Looking again finds nobody listening: the stale file is replaced and this copy holds it.
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));
    EXPECT_EQ(registry.state(), State::Holder);
    EXPECT_EQ(InstanceRegistry(socket).claim(), State::OtherCopy);
}

TEST_F(InstanceRegistryTest, StaleSocketFileIsReplacedAndRemovedOnRelease) {
    {  // bound but never listening, as left by a copy that crashed
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
    }
    InstanceRegistry registry(socket);
    EXPECT_EQ(registry.claim(), State::Holder);
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));

    registry.release();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

TEST_F(InstanceRegistryTest, ReleaseLeavesASocketThatIsNoLongerOurs) {
    InstanceRegistry registry(socket);
    ASSERT_EQ(registry.claim(), State::Holder);
    // Another copy took the path over while this one was frozen.
    fs::remove(socket);
    SocketHolder other(socket);
    ASSERT_TRUE(other.ready());

    registry.release();
    EXPECT_TRUE(fs::exists(fs::symlink_status(socket)));
    EXPECT_EQ(InstanceRegistry(socket).claim(), State::OtherCopy);
}

TEST_F(InstanceRegistryTest, ForeignFileAtTheSocketPathIsLeftAlone) {
    std::ofstream(socket) << "not a socket";
    InstanceRegistry registry(socket);
    EXPECT_EQ(registry.claim(), State::Unavailable);
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));
    EXPECT_FALSE(registry.sendLinks({"nubrio://connect"}));
    EXPECT_TRUE(fs::is_regular_file(socket));
}

struct FolderCase {
    const char* name;
    std::optional<mode_t> runtimeMode;  // none: XDG_RUNTIME_DIR unset
    std::optional<mode_t> fallbackMode;  // an existing fallback folder with this mode
    bool fallbackIsLink;
    const char* expected;  // "runtime", "fallback" or "none"
};

class RuntimeFolderTest : public InstanceRegistryTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(RuntimeFolderTest, OnlyAPrivateFolderOfOursIsUsed) {
    const FolderCase& c = GetParam();
    std::optional<ScopedEnv> unset;
    if (c.runtimeMode)
        chmod(runtime.c_str(), *c.runtimeMode);
    else
        unset.emplace("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path fallback = home.path() / "tmp" / ("nubrio-" + std::to_string(getuid()));
    if (c.fallbackIsLink) {
        fs::create_symlink(makeFolder(home.path() / "elsewhere", 0700), fallback);
    } else if (c.fallbackMode) {
        makeFolder(fallback, *c.fallbackMode);
    }

    const std::optional<fs::path> folder = InstanceRegistry::runtimeDirectory();

    const std::string expected = c.expected;
    if (expected == "runtime") {
        EXPECT_EQ(folder, std::optional<fs::path>(runtime));
    }
    if (expected == "fallback") {
        ASSERT_EQ(folder, std::optional<fs::path>(fallback));
        struct stat info {};
        ASSERT_EQ(lstat(fallback.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
    }
    if (expected == "none") {
        EXPECT_EQ(folder, std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RuntimeFolderTest,
    ::testing::Values(FolderCase{"PrivateRuntimeFolder", 0700, std::nullopt, false, "runtime"},
                      FolderCase{"GroupReadableRuntimeFolder", 0750, std::nullopt, false, "fallback"},
                      FolderCase{"NoRuntimeFolder", std::nullopt, std::nullopt, false, "fallback"},
                      FolderCase{"ExistingPrivateFallback", std::nullopt, 0700, false, "fallback"},
                      FolderCase{"OpenFallbackIsRefused", std::nullopt, 0755, false, "none"},
                      FolderCase{"FallbackThatIsALinkIsRefused", std::nullopt, std::nullopt, true, "none"}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return info.param.name; });

TEST_F(InstanceRegistryTest, HandOverDeliversLinksInOrder) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::vector<std::string>> received;
    holder.setLinkHandler([&](const std::vector<std::string>& links) {
        received.push_back(links);
        return true;
    });

    const std::string longLink = "nubrio://connect/" + std::string(InstanceRegistry::kMaxLinkBytes - 17, 'x');
    const bool sent = fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        return copy.claim() == State::OtherCopy && copy.sendLinks({"nubrio://connect?a=1", "https://nubrio.app/ñ"}) &&
               copy.sendLinks({longLink});
    });

    EXPECT_TRUE(sent);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_THAT(received[0], ElementsAre("nubrio://connect?a=1", "https://nubrio.app/ñ"));
    EXPECT_THAT(received[1], ElementsAre(longLink));
}

TEST_F(InstanceRegistryTest, HandOverFailsWhenTheHolderDoesNotTakeTheLinks) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    holder.setLinkHandler([](const std::vector<std::string>&) { return false; });

    EXPECT_FALSE(fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        return copy.sendLinks({"nubrio://connect"});
    }));
}

TEST_F(InstanceRegistryTest, LinksBeyondTheBoundsAreNotSent) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    int handed = 0;
    holder.setLinkHandler([&](const std::vector<std::string>&) { return ++handed, true; });

    const std::vector<std::vector<std::string>> refused = {
        {},
        std::vector<std::string>(InstanceRegistry::kMaxLinks + 1, "nubrio://connect"),
        {std::string(InstanceRegistry::kMaxLinkBytes + 1, 'n')},
        {""},
        {"nubrio://\xff\xfe"},
    };
    fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        for (const auto& links : refused) EXPECT_FALSE(copy.sendLinks(links));
        return 0;
    });
    EXPECT_EQ(handed, 0);
}

TEST_F(InstanceRegistryTest, MalformedMessagesAreDroppedAndTheHolderKeepsServing) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::vector<std::string>> received;
    holder.setLinkHandler([&](const std::vector<std::string>& links) {
        received.push_back(links);
        return true;
    });

    const std::string link = "nubrio://connect";
    const std::string one = "NBL1" + bigEndian(1) + bigEndian(link.size()) + link;
    const std::vector<std::pair<const char*, std::string>> malformed = {
        {"nothing", ""},
        {"wrong magic", "XBL1" + one.substr(4)},
        {"no links", "NBL1" + bigEndian(0)},
        {"too many links", "NBL1" + bigEndian(17) + one.substr(8)},
        {"empty link", "NBL1" + bigEndian(1) + bigEndian(0)},
        {"link too long", "NBL1" + bigEndian(1) + bigEndian(4097) + std::string(4097, 'a')},
        {"length beyond the message", "NBL1" + bigEndian(1) + bigEndian(0xFFFFFFFF) + link},
        {"truncated", one.substr(0, one.size() - 3)},
        {"trailing bytes", one + "extra"},
        {"not UTF-8", "NBL1" + bigEndian(1) + bigEndian(4) + "a\xc3\x28z"},
        {"NUL inside", "NBL1" + bigEndian(1) + bigEndian(3) + std::string("a\0b", 3)},
        {"oversized stream", "NBL1" + bigEndian(16) + std::string(200 * 1024, 'z')},
    };

    for (const auto& [name, bytes] : malformed) {
        EXPECT_FALSE(fromAnotherProcessLikeThread([&] { return sendRaw(socket, bytes); })) << name;
    }
    EXPECT_TRUE(received.empty());

    EXPECT_TRUE(fromAnotherProcessLikeThread([&] { return sendRaw(socket, one); }));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_THAT(received[0], ElementsAre(link));
}

TEST_F(InstanceRegistryTest, FloodOfIdleConnectionsIsCappedAndDoesNotLockOutHandOver) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    int handed = 0;
    holder.setLinkHandler([&](const std::vector<std::string>&) { return ++handed, true; });

    // Idle clients that never send a byte and never close.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            idle.push_back(fd);
        else
            close(fd);
        QCoreApplication::processEvents();
    }
    ASSERT_GT(idle.size(), InstanceRegistry::kMaxClients);

    auto closedByHolder = [](int fd) {
        char byte;
        return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    };
    for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();
    // Beyond the cap they are closed on arrival (a slow machine only lets more of them time out).
    EXPECT_LE(std::count_if(idle.begin(), idle.end(), [&](int fd) { return !closedByHolder(fd); }),
              static_cast<long>(InstanceRegistry::kMaxClients));
    // The rest when their deadline passes.
    EXPECT_TRUE(spinUntil(
        [&] {
            return std::all_of(idle.begin(), idle.end(), closedByHolder);
        },
        kDeadline));
    for (int fd : idle) close(fd);

    EXPECT_TRUE(fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        return copy.sendLinks({"nubrio://connect"});
    }));
    EXPECT_EQ(handed, 1);
}

}  // namespace
