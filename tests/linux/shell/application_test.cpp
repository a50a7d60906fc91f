// The application on the Qt event loop, the main queue, and the ordinary termination by signal.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/shell/application.h"
#include "platform/linux/shell/main_queue.h"
#include "support/files.h"
#include "support/spin.h"
#include "support/temp_home.h"
#include "support/wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nubrio::linux_platform::LinuxApplication;
using nubrio::linux_platform::LinuxMainQueue;
using nubrio::testing::readFile;
using nubrio::testing::spinUntil;
using nubrio::testing::waitForExit;
using nubrio::testing::waitUntil;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kDeadline = 30s;
constexpr const char* kChildDirVariable = "NUBRIO_APPLICATION_CHILD_DIR";

// Records every call that reaches the delegate; each callback may run a hook of the test.
class RecordingDelegate : public nubrio::platform::ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override {
        events.push_back("launched");
        if (onLaunch) onLaunch();
    }
    void applicationOpenUrls(const std::vector<std::string>& urls) override {
        std::string event = "open";
        for (const std::string& url : urls) event += " " + url;
        events.push_back(event);
        if (onOpen) onOpen();
    }
    void applicationWillTerminate() override {
        events.push_back("will terminate");
        if (onTerminate) onTerminate();
    }

    std::vector<std::string> events;
    std::function<void()> onLaunch, onOpen, onTerminate;
};

class ApplicationTest : public ::testing::Test {
protected:
    ApplicationTest() { application.setDelegate(delegate); }
    ~ApplicationTest() override { QApplication::setQuitOnLastWindowClosed(true); }

    // Ends a run that went wrong instead of hanging the test.
    void guardRun() {
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline), qApp,
                           [] { QCoreApplication::exit(1); });
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    LinuxApplication application;
};

TEST_F(ApplicationTest, TerminateCallsWillTerminateOnceAndRunReturns) {
    std::vector<std::string> order;
    application.setTerminationCleanup([&] { order.push_back("cleanup after " + delegate->events.back()); });
    delegate->onLaunch = [&] {
        application.terminate();
        application.terminate();
    };
    delegate->onTerminate = [&] { application.terminate(); };  // re-entry from inside
    guardRun();

    application.run();

    EXPECT_THAT(delegate->events, ElementsAre("launched", "will terminate"));
    EXPECT_THAT(order, ElementsAre("cleanup after will terminate"));
    EXPECT_TRUE(application.isTerminating());
}

TEST_F(ApplicationTest, TerminateBeforeRunEndsWithoutLaunching) {
    application.terminate();
    application.run();  // returns at once
    EXPECT_THAT(delegate->events, ElementsAre("will terminate"));
}

TEST_F(ApplicationTest, LinksAreDeliveredAfterLaunchInOrderAndNotAfterTermination) {
    EXPECT_TRUE(application.openUrls({"nubrio://connect", "https://a"}));
    EXPECT_TRUE(application.openUrls({"nubrio://second"}));
    delegate->onLaunch = [&] {
        EXPECT_THAT(delegate->events, ElementsAre("launched")) << "links wait for the launch";
        EXPECT_TRUE(application.openUrls({"nubrio://later"}));
    };
    delegate->onOpen = [&] {
        if (delegate->events.back() == "open nubrio://later") {
            // A delivery queued before the termination never arrives.
            application.openUrls({"nubrio://dropped"});
            application.terminate();
        }
    };
    guardRun();

    application.run();

    EXPECT_THAT(delegate->events, ElementsAre("launched", "open nubrio://connect https://a", "open nubrio://second",
                                              "open nubrio://later", "will terminate"));
    EXPECT_FALSE(application.openUrls({"nubrio://too-late"}));
    nubrio::testing::spinFor(100ms);
    EXPECT_EQ(delegate->events.back(), "will terminate");
}

// A launcher's action that started the program runs once the menu exists, after the launch's links.
TEST_F(ApplicationTest, StepsAfterLaunchRunOnceLaunchedAndNeverAfterTermination) {
    application.openUrls({"nubrio://connect"});
    application.afterLaunch([&] {
        delegate->events.push_back("step");
        application.afterLaunch([&] {
            delegate->events.push_back("later step");
            application.afterLaunch([&] { delegate->events.push_back("dropped"); });
            application.terminate();
        });
    });
    delegate->onLaunch = [&] { EXPECT_THAT(delegate->events, ElementsAre("launched")); };
    guardRun();

    application.run();

    EXPECT_THAT(delegate->events,
                ElementsAre("launched", "open nubrio://connect", "step", "later step", "will terminate"));
    application.afterLaunch([&] { delegate->events.push_back("too late"); });
    nubrio::testing::spinFor(100ms);
    EXPECT_EQ(delegate->events.back(), "will terminate");
}

// The tray icon has the loop to itself until the launch is released; a release before the run
// holds nothing back.
TEST_F(ApplicationTest, AHeldLaunchWaitsForItsRelease) {
    for (const bool releasedBeforeRun : {false, true}) {
        SCOPED_TRACE(releasedBeforeRun ? "released before the run" : "released from the loop");
        LinuxApplication held;
        auto recorder = std::make_shared<RecordingDelegate>();
        held.setDelegate(recorder);
        held.openUrls({"nubrio://connect"});
        held.holdLaunch();
        if (releasedBeforeRun) held.releaseLaunch();
        bool loopRanFirst = false;
        QTimer::singleShot(100ms, qApp, [&] {
            loopRanFirst = recorder->events.empty();
            held.releaseLaunch();
        });
        recorder->onOpen = [&] { held.terminate(); };
        guardRun();

        held.run();

        EXPECT_EQ(loopRanFirst, !releasedBeforeRun);
        EXPECT_THAT(recorder->events, ElementsAre("launched", "open nubrio://connect", "will terminate"));
    }
}

TEST_F(ApplicationTest, TerminationDuringLaunchDropsTheLinksFromTheCommandLine) {
    application.openUrls({"nubrio://connect"});
    delegate->onLaunch = [&] { application.terminate(); };  // the second-copy path
    guardRun();

    application.run();

    EXPECT_THAT(delegate->events, ElementsAre("launched", "will terminate"));
}

TEST_F(ApplicationTest, AccessoryApplicationOutlivesItsLastWindow) {
    application.setActivationPolicy(nubrio::platform::ActivationPolicy::Accessory);
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
}

TEST_F(ApplicationTest, DelegateThatNoLongerExistsIsNotCalled) {
    delegate.reset();
    QTimer::singleShot(0, qApp, [&] { application.terminate(); });
    guardRun();
    application.run();  // nothing to call, and no crash
    EXPECT_TRUE(application.isTerminating());
}

// Started anew in its own place: the delegate hears of the end as from terminate(), and the links not
// delivered yet go to the relaunch handler; should it return (the program could not be started), the
// termination goes on.
TEST_F(ApplicationTest, ARelaunchEndsAsATerminationAndTakesTheUndeliveredLinks) {
    std::vector<std::string> handed, order;
    application.setRelaunchHandler([&](const std::vector<std::string>& arguments, const std::vector<std::string>& links) {
        order.push_back("relaunch after " + delegate->events.back());
        handed = arguments;
        handed.insert(handed.end(), links.begin(), links.end());
    });
    application.setTerminationCleanup([&] { order.push_back("cleanup"); });
    EXPECT_TRUE(application.openUrls({"nubrio://first"}));
    delegate->onLaunch = [&] {
        EXPECT_TRUE(application.openUrls({"nubrio://queued"}));
        application.relaunch({"--background"});
        application.relaunch({"again"});
        application.terminate();
    };
    guardRun();

    application.run();

    EXPECT_THAT(delegate->events, ElementsAre("launched", "will terminate"));
    EXPECT_THAT(handed, ElementsAre("--background", "nubrio://first", "nubrio://queued"));
    EXPECT_THAT(order, ElementsAre("relaunch after will terminate", "cleanup"));
}

TEST_F(ApplicationTest, ARelaunchWithoutAHandlerIsATermination) {
    delegate->onLaunch = [&] { application.relaunch({}); };
    guardRun();
    application.run();
    EXPECT_THAT(delegate->events, ElementsAre("launched", "will terminate"));
}

TEST(MainQueueTest, BlocksFromAnyThreadRunOnTheMainThreadInOrder) {
    LinuxMainQueue queue;
    std::vector<int> ran;
    bool allOnMain = true;
    auto record = [&](int n) {
        return [&, n] {
            allOnMain = allOnMain && QThread::currentThread() == qApp->thread();
            ran.push_back(n);
        };
    };
    std::thread([&] {
        for (int n = 0; n < 100; ++n) queue.async(record(n));
        queue.after(0.05, record(1000));
    }).join();
    queue.async(record(100));

    EXPECT_TRUE(spinUntil([&] { return ran.size() == 102; }, kDeadline));
    ASSERT_EQ(ran.size(), 102u);
    for (int n = 0; n <= 100; ++n) EXPECT_EQ(ran[n], n);
    EXPECT_EQ(ran.back(), 1000);
    EXPECT_TRUE(allOnMain);
}

TEST(MainQueueTest, AfterWaitsAtLeastItsDelay) {
    LinuxMainQueue queue;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    queue.after(0.2, [&] { waited = std::chrono::steady_clock::now() - start; });
    EXPECT_TRUE(spinUntil([&] { return waited.count() != 0; }, kDeadline));
    EXPECT_GE(waited, 200ms);
}

TEST(MainQueueTest, ClosedQueueDropsWhatHasNotRun) {
    LinuxMainQueue queue;
    int ran = 0;
    queue.async([&] { ++ran; });
    queue.after(0.01, [&] { ++ran; });
    queue.close();
    queue.async([&] { ++ran; });
    nubrio::testing::spinFor(200ms);
    EXPECT_EQ(ran, 0);
}

// The program as a child process: runs a LinuxApplication until a termination signal arrives.
// Started only by SignalTerminationTest, which names it explicitly.
TEST(ApplicationChild, DISABLED_RunsUntilATerminationSignal) {
    const char* dir = std::getenv(kChildDirVariable);
    ASSERT_NE(dir, nullptr);
    auto delegate = std::make_shared<RecordingDelegate>();
    LinuxApplication application;
    delegate->onLaunch = [&] { std::ofstream(fs::path(dir) / "launched") << getpid(); };
    delegate->onTerminate = [&] { std::ofstream(fs::path(dir) / "terminated", std::ios::app) << "will terminate\n"; };
    application.setDelegate(delegate);
    application.setActivationPolicy(nubrio::platform::ActivationPolicy::Accessory);
    application.run();
}

class SignalTerminationTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalTerminationTest, SignalIsAnOrdinaryTerminationEndingWithStatusZero) {
    nubrio::testing::TempHome home;
    const fs::path dir = home.path();

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    environment.push_back(std::string(kChildDirVariable) + "=" + dir.string());
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=ApplicationChild.DISABLED_RunsUntilATerminationSignal";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {program.data(), filter.data(), disabled.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "child.log").c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    ASSERT_TRUE(waitUntil([&] { return fs::exists(dir / "launched"); }, deadline)) << readFile(dir / "child.log");

    ASSERT_EQ(kill(child, GetParam()), 0);
    const std::optional<int> ended = waitForExit(child, deadline);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        FAIL() << "the child did not end on the signal";
    }

    const int status = *ended;
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << readFile(dir / "child.log");
    EXPECT_EQ(readFile(dir / "terminated"), "will terminate\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTerminationTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

}  // namespace
