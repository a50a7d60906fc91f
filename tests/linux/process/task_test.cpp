// The worker task and the process calls around it, against real children (helpers/task_child.cpp).
#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/linux/process/process_info.h"
#include "platform/linux/process/task.h"
#include "support/files.h"
#include "support/privileges.h"
#include "support/spin.h"
#include "worker/contract.h"

namespace nubrio::linux_platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nubrio::testing::readFile;
using nubrio::testing::spinFor;
using nubrio::testing::spinUntil;
using platform::TerminationReason;

const fs::path kChild = fs::path(NUBRIO_TEST_HELPERS_DIR) / "task_child";

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "nubrio-task.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = fs::canonical(pattern);
    }

    void TearDown() override {
        // Only groups this test started; their leaders are not reaped yet, so the ids are still ours.
        for (auto& task : started_) {
            if (task->isRunning()) {
                ::kill(-task->processIdentifier(), SIGKILL);
                task->waitUntilExit();
            }
        }
        spinFor(20ms);  // let pending termination handlers run while their captures are alive
        fs::remove_all(folder_);
    }

    // A task running task_child in the test's folder, in the given mode; its handler counts calls.
    std::shared_ptr<platform::Task> launch(const std::string& mode) {
        std::ofstream(folder_ / "mode") << mode << "\n";
        auto task = factory_.makeTask();
        task->setStandardInputNullDevice();
        task->setExecutable(kChild);
        task->setCurrentDirectory(folder_);
        task->setTerminationHandler([this](const std::shared_ptr<platform::Task>& ended) {
            ++handlerCalls_;
            ended_ = ended;
        });
        auto error = task->launch();
        EXPECT_FALSE(error.has_value()) << (error ? error->fullDescription() : "");
        started_.push_back(task);
        return task;
    }

    bool waitForHandler() {
        return spinUntil([this] { return handlerCalls_ > 0; }, 20s);
    }

    bool waitForFile(const std::string& name) {
        return spinUntil([&] { return fs::exists(folder_ / name); }, 20s);
    }

    fs::path folder_;
    LiveTasks live_;
    // The program's own stop sequence, as main.cpp passes it in.
    LinuxTaskFactory factory_{live_, {nubrio::worker::SignalTerminate, worker::SignalKill, worker::StopPollCount,
                                      nubrio::worker::StopPollIntervalMicroseconds}};
    LinuxProcessInfo process_{0, nullptr, live_};
    std::vector<std::shared_ptr<platform::Task>> started_;
    int handlerCalls_ = 0;
    std::shared_ptr<platform::Task> ended_;
};

TEST_F(TaskTest, ChildGetsNullInputItsFolderItsOwnGroupAndOurEnvironmentOnly) {
    setenv("NUBRIO_TASK_TEST_MARK", "inherited", 1);
    int leak[2];
    ASSERT_EQ(::pipe(leak), 0);  // not close-on-exec, and still not for the child

    launch("report");
    ASSERT_TRUE(waitForHandler());
    ::close(leak[0]);
    ::close(leak[1]);
    unsetenv("NUBRIO_TASK_TEST_MARK");

    EXPECT_EQ(readFile(folder_ / "report"), "cwd=" + folder_.string() +
                                                "\n"
                                                "own-group=yes\n"
                                                "argc=1\n"
                                                "stdin-read=0\n"
                                                "mark=inherited\n"
                                                "extra-fds=0\n");
}

struct ExitCase {
    const char* mode;
    TerminationReason reason;
    int status;
};

TEST_F(TaskTest, TerminationHandlerRunsOnceWithTheWayTheChildEnded) {
    const ExitCase cases[] = {
        {"exit 0", TerminationReason::Exit, 0},
        {"exit 3", TerminationReason::Exit, 3},
        {"signal 9", TerminationReason::UncaughtSignal, SIGKILL},
        {"signal 15", TerminationReason::UncaughtSignal, SIGTERM},
    };
    for (const ExitCase& expected : cases) {
        SCOPED_TRACE(expected.mode);
        handlerCalls_ = 0;
        ended_.reset();
        std::weak_ptr<platform::Task> launched;
        int pid = 0;
        {
            // Nobody keeps the task: like any running child it stays alive until its handler has run.
            auto task = launch(expected.mode);
            started_.clear();
            launched = task;
            pid = task->processIdentifier();
        }
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitForHandler());
        spinFor(100ms);
        EXPECT_EQ(handlerCalls_, 1);
        ASSERT_TRUE(ended_);
        EXPECT_EQ(ended_, launched.lock());
        EXPECT_EQ(ended_->processIdentifier(), pid);
        EXPECT_FALSE(ended_->isRunning());
        EXPECT_EQ(ended_->terminationReason(), expected.reason);
        EXPECT_EQ(ended_->terminationStatus(), expected.status);
    }
}

struct LaunchErrorCase {
    const char* name;
    int code;
    std::function<void(const fs::path& folder, platform::Task& task)> prepare;
};

TEST_F(TaskTest, LaunchFailuresAreErrorsWithTheSystemsText) {
    const LaunchErrorCase cases[] = {
        {"missing executable", ENOENT,
         [](const fs::path& folder, platform::Task& task) {
             task.setExecutable(folder / "missing");
             task.setCurrentDirectory(folder);
         }},
        {"missing folder", ENOENT,
         [](const fs::path& folder, platform::Task& task) {
             task.setExecutable(kChild);
             task.setCurrentDirectory(folder / "missing");
         }},
        {"folder is a file", ENOTDIR,
         [](const fs::path& folder, platform::Task& task) {
             std::ofstream(folder / "file") << "x";
             task.setExecutable(kChild);
             task.setCurrentDirectory(folder / "file");
         }},
        {"executable without permission", EACCES,
         [](const fs::path& folder, platform::Task& task) {
             std::ofstream(folder / "plain") << "#!/bin/sh\nexit 0\n";
             task.setExecutable(folder / "plain");
             task.setCurrentDirectory(folder);
         }},
        {"executable that is no program", ENOEXEC,
         [](const fs::path& folder, platform::Task& task) {
             std::ofstream(folder / "garbage") << "not a program";
             fs::permissions(folder / "garbage", fs::perms::owner_all);
             task.setExecutable(folder / "garbage");
             task.setCurrentDirectory(folder);
         }},
    };
    for (const LaunchErrorCase& expected : cases) {
        SCOPED_TRACE(expected.name);
        int calls = 0;
        auto task = factory_.makeTask();
        task->setStandardInputNullDevice();
        expected.prepare(folder_, *task);
        task->setTerminationHandler([&calls](const std::shared_ptr<platform::Task>&) { ++calls; });

        const auto error = task->launch();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code, expected.code);
        EXPECT_EQ(error->localizedDescription(), std::strerror(expected.code));
        EXPECT_EQ(task->processIdentifier(), 0);
        EXPECT_FALSE(task->isRunning());
        spinFor(100ms);
        EXPECT_EQ(calls, 0);
    }
}

// The data folder could not be made (a home we may not write, or none under a folder we may not
// write): the launch says why it is missing, not only that it is. Run as a user would be: root
// writes anywhere.
TEST_F(TaskTest, AWorkingFolderThatCouldNotBeMadeGivesTheReasonItCouldNot) {
    const struct {
        const char* name;
        fs::path folder;  // under the test's folder
        int code;
    } cases[] = {
        {"a home we may not write", "home/Library/Application Support/Nubrio", EACCES},
        {"no home, under a folder we may not write", "locked/home/Library/Application Support/Nubrio", EACCES},
        {"missing where it could have been made", "open/Library/Application Support/Nubrio", ENOENT},
    };
    fs::create_directories(folder_ / "home");
    fs::create_directories(folder_ / "locked");
    fs::create_directories(folder_ / "open");
    fs::permissions(folder_ / "home", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(folder_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.name);
        int result[2];
        ASSERT_EQ(pipe(result), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (geteuid() == 0 && !nubrio::testing::dropFilePermissionOverrides()) _exit(2);
            auto task = factory_.makeTask();
            task->setStandardInputNullDevice();
            task->setExecutable(kChild);
            task->setCurrentDirectory(folder_ / expected.folder);
            const auto error = task->launch();
            const int code = error ? error->code : 0;
            [[maybe_unused]] ssize_t ignored = write(result[1], &code, sizeof code);
            _exit(0);
        }
        close(result[1]);
        int code = -1;
        EXPECT_EQ(read(result[0], &code, sizeof code), static_cast<ssize_t>(sizeof code));
        close(result[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(code, expected.code) << std::strerror(code);
    }
    fs::permissions(folder_ / "home", fs::perms::owner_all);
    fs::permissions(folder_ / "locked", fs::perms::owner_all);
}

TEST_F(TaskTest, GroupSignalReachesAGrandchildInTheGroup) {
    auto task = launch("grandchild");
    ASSERT_TRUE(waitForFile("grandchild.pid"));

    EXPECT_EQ(process_.kill(-task->processIdentifier(), SIGTERM), 0);

    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(task->terminationReason(), TerminationReason::UncaughtSignal);
    EXPECT_EQ(task->terminationStatus(), SIGTERM);
    EXPECT_TRUE(waitForFile("grandchild-term"));
}

// Whether a process still runs (a zombie no longer does); for processes this test did not start,
// which it never signals.
bool running(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

pid_t pidIn(const fs::path& file) { return static_cast<pid_t>(std::stol("0" + readFile(file))); }

TEST_F(TaskTest, TerminateSignalsTheChildAloneThenWhatIsLeftOfItsGroupFollows) {
    auto task = launch("grandchild");
    ASSERT_TRUE(waitForFile("grandchild.pid"));

    task->terminate();

    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(task->terminationStatus(), SIGTERM);
    // By the time the handler runs, the grandchild has had its SIGTERM and has ended.
    EXPECT_TRUE(fs::exists(folder_ / "grandchild-term"));
    EXPECT_FALSE(running(pidIn(folder_ / "grandchild.pid")));
}

TEST_F(TaskTest, CrashedChildsStubbornGroupIsStoppedBeforeTheHandlerRunsWhileTheEventLoopGoesOn) {
    // What a restart needs: a crashed worker's child would otherwise keep the port. Its stop takes the
    // 3 s of polls, during which the main thread must go on answering.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastTick = Clock::now();
    double longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestGap = std::max(longestGap, std::chrono::duration<double>(now - lastTick).count());
        lastTick = now;
    });
    ticker.start(10);
    const Clock::time_point start = Clock::now();
    auto task = launch("crash-leaving-child");
    ASSERT_TRUE(waitForHandler());
    const double handedOn = secondsSince(start);
    ticker.stop();

    EXPECT_EQ(task->terminationStatus(), SIGSEGV);
    const pid_t grandchild = pidIn(folder_ / "grandchild.pid");
    ASSERT_GT(grandchild, 0);
    EXPECT_FALSE(running(grandchild)) << "SIGTERM is ignored, so SIGKILL followed";
    EXPECT_GT(handedOn, 2.5) << "the exit came before the group's stop sequence had run";
    std::printf("crash to handler %.0f ms; longest pause of the event loop %.1f ms\n", handedOn * 1000,
                longestGap * 1000);
    EXPECT_LT(longestGap, 0.5) << "the main thread waited for the group";
}

// A restart by hand while a crashed worker's group is still being stopped: the new worker starts only
// once nothing of the old group is left to hold its port.
TEST_F(TaskTest, LaunchWaitsWhileAnEndedWorkersGroupIsBeingStopped) {
    auto crashed = launch("crash-leaving-child");
    ASSERT_TRUE(waitForFile("grandchild.pid"));
    const pid_t grandchild = pidIn(folder_ / "grandchild.pid");
    ASSERT_TRUE(spinUntil([&] { return !crashed->isRunning(); }, 20s));
    spinFor(100ms);  // the end is noticed and the group's stop begins
    ASSERT_EQ(handlerCalls_, 0) << "the stubborn grandchild takes 3 s";
    ASSERT_TRUE(running(grandchild));

    launch("exit 0");
    EXPECT_FALSE(running(grandchild));
}

TEST_F(TaskTest, WaitUntilExitReturnsOnceTheWholeGroupIsGone) {
    auto task = launch("stubborn-family");
    ASSERT_TRUE(waitForFile("child.pid"));
    const pid_t grandchild = pidIn(folder_ / "grandchild.pid");
    // The child alone: its grandchild, ignoring SIGTERM too, is left for the wait to clear away.
    EXPECT_EQ(process_.kill(task->processIdentifier(), SIGKILL), 0);
    task->waitUntilExit();
    EXPECT_FALSE(task->isRunning());
    EXPECT_FALSE(running(grandchild));
}

// The watcher forked beside each worker is ours to end: once the task is over, no child of this
// process is left (only the main thread starts children here).
TEST_F(TaskTest, NoWatcherOutlivesItsTask) {
    auto task = launch("exit 0");
    ASSERT_TRUE(waitForHandler());
    const std::string children = readFile("/proc/self/task/" + std::to_string(getpid()) + "/children");
    EXPECT_EQ(children, "") << "children left: " << children;
}

// A program that started a worker and is then killed: what it started must not outlive it.
TEST_F(TaskTest, WorkerAndItsGroupEndWhenTheProgramIsKilled) {
    std::ofstream(folder_ / "mode") << "stubborn-family\n";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        dup2(out[1], STDOUT_FILENO);
        const std::string parent = std::string(NUBRIO_TEST_HELPERS_DIR) + "/task_parent";
        execl(parent.c_str(), parent.c_str(), kChild.c_str(), folder_.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    char line[64] = {};
    pollfd waiting{out[0], POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 20000), 1);
    ASSERT_GT(read(out[0], line, sizeof line - 1), 0);
    close(out[0]);
    const pid_t worker = static_cast<pid_t>(std::atol(line + std::strlen("started ")));
    ASSERT_TRUE(waitForFile("child.pid"));
    const pid_t grandchild = pidIn(folder_ / "grandchild.pid");

    ASSERT_EQ(kill(program, SIGKILL), 0);
    ASSERT_EQ(waitpid(program, nullptr, 0), program);

    // Both ignore SIGTERM: the watcher's SIGKILL comes 3 s after the program's end.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((running(worker) || running(grandchild)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(running(worker));
    EXPECT_FALSE(running(grandchild));
}

// The watcher is the test process's only other child: the children listed beside the task's.
pid_t watcherOf(const std::shared_ptr<platform::Task>& task) {
    std::istringstream children(readFile("/proc/self/task/" + std::to_string(getpid()) + "/children"));
    for (pid_t pid; children >> pid;)
        if (pid != task->processIdentifier()) return pid;
    return -1;
}

// A watcher stopped with SIGSTOP never acts on its dismissal: the end of its task must not wait
// for it for ever. A stand-by ends the stopped watcher after 20 s should dismissing hang.
TEST_F(TaskTest, DismissingAStoppedWatcherIsBounded) {
    auto task = launch("exit-after 300");
    const pid_t watcher = watcherOf(task);
    ASSERT_GT(watcher, 0);
    ASSERT_EQ(::kill(watcher, SIGSTOP), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(watcher), &info, WSTOPPED | WNOWAIT), 0);

    std::atomic<bool> done = false;
    std::thread standBy([&] {
        for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(100ms);
        if (!done) ::kill(watcher, SIGKILL);
    });
    const auto start = std::chrono::steady_clock::now();
    const bool ended = waitForHandler();
    const double took = secondsSince(start);
    done = true;
    standBy.join();
    EXPECT_TRUE(ended);
    EXPECT_LT(took, 5.0) << "the end of the task waited for the stopped watcher";
    EXPECT_EQ(watcherOf(task), -1) << "the watcher was left behind";
}

// The worker's pid, once reaped, taken by an unrelated group leader while the watcher runs its stop
// sequence (forced in a pid namespace of its own, see helpers/pid_reuse.cpp): that group is not ours
// and gets no signal.
TEST(WatcherTest, NeverSignalsAGroupThatTookTheWorkersPid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: a pid namespace and ns_last_pid";
    const std::string command =
        "unshare --pid --fork --mount-proc " + (fs::path(NUBRIO_TEST_HELPERS_DIR) / "pid_reuse").string() + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    if (output.rfind("cannot:", 0) == 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 77) ||
        output.find("unshare:") != std::string::npos)
        GTEST_SKIP() << output;
    std::printf("pid reuse: %s", output.c_str());
    EXPECT_NE(output.find(": survived"), std::string::npos) << output;
}

TEST_F(TaskTest, ChildIgnoringSigtermRunsOnUntilSigkillToItsGroup) {
    auto task = launch("ignore-term");
    ASSERT_TRUE(waitForFile("ready"));

    EXPECT_EQ(process_.kill(-task->processIdentifier(), SIGTERM), 0);
    process_.usleep(300'000);
    spinFor(100ms);
    EXPECT_TRUE(task->isRunning());
    EXPECT_EQ(handlerCalls_, 0);

    EXPECT_EQ(process_.kill(-task->processIdentifier(), SIGKILL), 0);
    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(task->terminationReason(), TerminationReason::UncaughtSignal);
    EXPECT_EQ(task->terminationStatus(), SIGKILL);
}

TEST_F(TaskTest, StatusReapedByWaitingOrPollingStillReachesTheHandlerOnce) {
    const std::pair<const char*, std::function<void(platform::Task&)>> ways[] = {
        {"waitUntilExit", [](platform::Task& task) { task.waitUntilExit(); }},
        {"isRunning",
         [](platform::Task& task) {
             const auto start = std::chrono::steady_clock::now();
             while (task.isRunning() && secondsSince(start) < 20) ::usleep(10'000);
         }},
    };
    for (const auto& [name, reap] : ways) {
        SCOPED_TRACE(name);
        handlerCalls_ = 0;
        auto task = launch("exit 5");

        reap(*task);  // no event loop here: the handler cannot have run yet

        EXPECT_FALSE(task->isRunning());
        EXPECT_EQ(task->terminationStatus(), 5);
        EXPECT_EQ(handlerCalls_, 0);
        ASSERT_TRUE(waitForHandler());
        spinFor(100ms);
        EXPECT_EQ(handlerCalls_, 1);
        EXPECT_EQ(ended_->terminationStatus(), 5);
    }
}

TEST_F(TaskTest, WaitUntilExitReturnsAtOnceWithoutARunningChild) {
    auto unlaunched = factory_.makeTask();
    unlaunched->waitUntilExit();
    EXPECT_FALSE(unlaunched->isRunning());
}

TEST_F(TaskTest, SleepEndsEarlyWhenATaskEndsAndOnlyThen) {
    auto task = launch("exit-after 300");

    auto start = std::chrono::steady_clock::now();
    process_.usleep(60'000'000);
    EXPECT_LT(secondsSince(start), 30.0);

    // Nothing has looked at the ended task since, nor run its handler, yet it must not cut this short.
    start = std::chrono::steady_clock::now();
    process_.usleep(200'000);
    EXPECT_GE(secondsSince(start), 0.19);
    EXPECT_FALSE(task->isRunning());

    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(handlerCalls_, 1);
}

TEST_F(TaskTest, SleepLastsItsTimeWithAndWithoutLiveTasks) {
    auto start = std::chrono::steady_clock::now();
    process_.usleep(200'000);
    EXPECT_GE(secondsSince(start), 0.19);

    auto task = launch("exit-after 60000");
    start = std::chrono::steady_clock::now();
    process_.usleep(200'000);
    EXPECT_GE(secondsSince(start), 0.19);
    EXPECT_TRUE(task->isRunning());
}

std::atomic<int> interruptions{0};

TEST_F(TaskTest, SleepGoesOnAfterASignalInterruptsIt) {
    struct sigaction action {};
    action.sa_handler = [](int) { ++interruptions; };  // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    const std::pair<const char*, bool> cases[] = {{"no live task", false}, {"a live task", true}};
    for (const auto& [name, withTask] : cases) {
        SCOPED_TRACE(name);
        if (withTask) launch("exit-after 60000");
        interruptions = 0;
        const pthread_t sleeper = pthread_self();
        std::thread interrupter([sleeper] {
            std::this_thread::sleep_for(50ms);
            pthread_kill(sleeper, SIGUSR2);
        });
        const auto start = std::chrono::steady_clock::now();
        process_.usleep(400'000);
        const double slept = secondsSince(start);
        interrupter.join();
        EXPECT_EQ(interruptions, 1);
        EXPECT_GE(slept, 0.39);
    }
    sigaction(SIGUSR2, &previous, nullptr);
}

}  // namespace
}  // namespace nubrio::linux_platform
