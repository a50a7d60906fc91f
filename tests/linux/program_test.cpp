// The program from its bundle: a link opened while a copy runs is handed to that copy, a
// termination signal ends the copy with status 0, leaving no socket behind, and a data folder of
// earlier builds moves to its place only in the copy that holds the instance.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_home.h"
#include "support/wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nubrio::testing::readFile;
using nubrio::testing::waitForExit;
using nubrio::testing::waitUntil;

constexpr auto kDeadline = 30s;

class ProgramTest : public ::testing::Test {
protected:
    ProgramTest() {
        fs::create_directories(runtime);
        chmod(runtime.c_str(), 0700);
        for (char** entry = environ; *entry; ++entry) {
            const std::string variable = *entry;
            if (variable.rfind("XDG_RUNTIME_DIR=", 0) != 0 && variable.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0)
                environment.push_back(variable);
        }
        environment.push_back("XDG_RUNTIME_DIR=" + runtime.string());
        if (!std::getenv("DISPLAY")) environment.push_back("QT_QPA_PLATFORM=offscreen");
    }

    ~ProgramTest() override {
        for (pid_t pid : started) {
            if (waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }

    pid_t start(const std::vector<std::string>& arguments, const std::string& log,
                const fs::path& bundle = NUBRIO_BUNDLE_PATH) {
        const std::string program = (bundle / "Contents/MacOS/Nubrio").string();
        std::vector<std::string> args = {program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv, envp;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (std::string& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string logPath = (home.path() / log).string();
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        started.push_back(pid);
        return pid;
    }

    // The exit status, or none when it did not end in time or ended by a signal.
    static std::optional<int> exitCode(pid_t pid) {
        const std::optional<int> status = waitForExit(pid, Clock::now() + kDeadline);
        if (!status || !WIFEXITED(*status)) return std::nullopt;
        return WEXITSTATUS(*status);
    }

    nubrio::testing::TempHome home;
    fs::path runtime = home.path() / "run";
    fs::path socket = runtime / "app.nubrio.desktop";
    std::vector<std::string> environment;
    std::vector<pid_t> started;
};

TEST_F(ProgramTest, LinkGoesToTheRunningCopyAndSigtermEndsItWithStatusZero) {
    const pid_t first = start({"--background"}, "first.log");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(fs::symlink_status(socket)); }, Clock::now() + kDeadline))
        << readFile(home.path() / "first.log");

    const pid_t second = start({"nubrio://connect"}, "second.log");
    EXPECT_EQ(exitCode(second), std::optional<int>(0)) << readFile(home.path() / "second.log");
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the running copy keeps running";

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(exitCode(first), std::optional<int>(0)) << readFile(home.path() / "first.log");
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

TEST_F(ProgramTest, ASecondCopyFromElsewhereLeavesTheLinkHandlerToTheRunningCopy) {
    // A browser for the second copy's editor request, recording that it was started.
    const fs::path opened = home.path() / "browser-opened";
    const fs::path browser = home.path() / "browser";
    nubrio::testing::writeFile(browser, "#!/bin/sh\necho \"$@\" > '" + opened.string() + "'\n");
    fs::permissions(browser, fs::perms::owner_all);
    nubrio::testing::writeFile(home.dataHome() / "applications/google-chrome.desktop",
                               "[Desktop Entry]\nType=Application\nName=Chrome\nExec=" + browser.string() + " %U\n");

    const pid_t first = start({"--background"}, "first.log");
    const fs::path handler = home.dataHome() / "applications/app.nubrio.desktop.desktop";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(fs::symlink_status(socket)) && fs::exists(handler); },
                          Clock::now() + kDeadline))
        << readFile(home.path() / "first.log");
    const std::string registered = readFile(handler);

    const fs::path copy = home.path() / "Downloads/Nubrio.app";
    fs::create_directories(copy.parent_path());
    fs::copy(NUBRIO_BUNDLE_PATH, copy, fs::copy_options::recursive);
    const pid_t second = start({}, "second.log", copy);
    EXPECT_EQ(exitCode(second), std::optional<int>(0)) << readFile(home.path() / "second.log");
    EXPECT_TRUE(waitUntil([&] { return fs::exists(opened); }, Clock::now() + kDeadline));
    EXPECT_EQ(readFile(handler), registered) << "links must keep going to the copy that runs";

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(exitCode(first), std::optional<int>(0)) << readFile(home.path() / "first.log");
}

// The data folder that earlier builds kept under ~/Library/Application Support.
class DataFolderProgramTest : public ProgramTest {
protected:
    DataFolderProgramTest() {
        nubrio::testing::writeFile(earlier / "proyectos/clip.json", "{\"clip\": 1}");
    }

    static bool journalRuns() { return fs::exists("/run/systemd/journal/socket"); }

    // The program's lines in its log that say the earlier folder stays in use.
    int staysInUseLines(const std::string& log) const {
        int lines = 0;
        const std::string text = readFile(home.path() / log);
        for (std::size_t at = text.find(" stays in use"); at != std::string::npos; at = text.find(" stays in use", at + 1))
            ++lines;
        return lines;
    }

    const fs::path earlier = home.path() / "Library/Application Support/Nubrio";
    const fs::path current = home.dataHome() / "Nubrio";
};

// The copy that holds the instance moves it before its worker starts, and the worker runs in the new place.
TEST_F(DataFolderProgramTest, TheRunningCopyMovesTheEarlierFolderBeforeItsWorkerStarts) {
    const pid_t first = start({"--background"}, "first.log");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(current / "logs/service.log"); }, Clock::now() + kDeadline))
        << readFile(home.path() / "first.log");
    EXPECT_EQ(readFile(current / "proyectos/clip.json"), "{\"clip\": 1}");
    EXPECT_FALSE(fs::exists(earlier));
    EXPECT_FALSE(fs::exists(home.path() / "Library"));
    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(exitCode(first), std::optional<int>(0)) << readFile(home.path() / "first.log");
    EXPECT_EQ(staysInUseLines("first.log"), 0);
}

// With a folder at both places the earlier one stays in use, said once; a second copy, which does not
// hold the instance, never moves the folder the running copy's worker works in.
TEST_F(DataFolderProgramTest, BothFoldersKeepTheEarlierOneAndASecondCopyMovesNothing) {
    nubrio::testing::writeFile(current / "nuevo.txt", "nuevo");
    const pid_t first = start({"--background"}, "first.log");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(earlier / "logs/service.log"); }, Clock::now() + kDeadline))
        << readFile(home.path() / "first.log");
    EXPECT_EQ(readFile(current / "nuevo.txt"), "nuevo");
    EXPECT_FALSE(fs::exists(current / "logs"));
    if (!journalRuns()) {
        EXPECT_EQ(staysInUseLines("first.log"), 1) << readFile(home.path() / "first.log");
    }

    fs::remove_all(current);
    const pid_t second = start({"nubrio://connect"}, "second.log");
    EXPECT_EQ(exitCode(second), std::optional<int>(0)) << readFile(home.path() / "second.log");
    EXPECT_EQ(readFile(earlier / "proyectos/clip.json"), "{\"clip\": 1}");
    EXPECT_TRUE(fs::exists(earlier / "logs/service.log"));
    EXPECT_FALSE(fs::exists(current)) << "moved under the running copy's worker";
    EXPECT_EQ(staysInUseLines("second.log"), 0);

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(exitCode(first), std::optional<int>(0)) << readFile(home.path() / "first.log");
}

// The check moves nothing: its worker runs in the earlier folder, and its standard error stays its own.
TEST_F(DataFolderProgramTest, TheCheckUsesTheEarlierFolderWhereItIs) {
    const pid_t check = start({"--verify-startup"}, "check.log");
    EXPECT_EQ(exitCode(check), std::optional<int>(0)) << readFile(home.path() / "check.log");
    EXPECT_TRUE(fs::exists(earlier / "logs/service.log"));
    EXPECT_EQ(readFile(earlier / "proyectos/clip.json"), "{\"clip\": 1}");
    EXPECT_FALSE(fs::exists(current));
    EXPECT_EQ(readFile(home.path() / "check.log"), "");
}

}  // namespace
