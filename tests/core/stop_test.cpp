#include "harness.h"

namespace nubrio::testing {
namespace {

class StopTest : public CoreTest {};

TEST_F(StopTest, CooperativeWorkerGetsSigtermToItsGroupOnly) {
    launch();
    auto task = worker();
    fake.tasks.last()->behaviour.secondsToEndAfterSigterm = 0.05;
    const Uuid before = state().startup();
    nubrio->applicationWillTerminate();
    EXPECT_EQ(fake.process.kills, (std::vector<std::pair<int, int>>{{-task->pid, 15}}));
    EXPECT_LE(fake.process.sleeps, 1);
    EXPECT_FALSE(task->isRunning());
    EXPECT_TRUE(state().stopping());
    EXPECT_FALSE(state().ready());
    EXPECT_FALSE(state().worker());
    EXPECT_FALSE(state().startup() == before);
}

TEST_F(StopTest, WorkerIgnoringSigtermIsKilledAfterThirtyPolls) {
    fake.tasks.behaviour.endsOnSigterm = false;
    launch();
    auto task = worker();
    const double start = fake.queue.now();
    nubrio->applicationWillTerminate();
    EXPECT_EQ(fake.process.sleeps, 30);
    EXPECT_NEAR(fake.queue.now() - start, 3.0, 1e-9);
    EXPECT_EQ(fake.process.kills, (std::vector<std::pair<int, int>>{{-task->pid, 15}, {-task->pid, 9}}));
    EXPECT_EQ(task->terminationStatus(), 9);
    fake.queue.runUntilIdle();
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);  // its exit never restarts
    EXPECT_TRUE(fake.alerts.shown.empty());
}

TEST_F(StopTest, StopReturnsOnlyOnceTheWorkerHasEnded) {
    // SIGKILL does not end a process stuck in the kernel at once.
    fake.tasks.behaviour.endsOnSigterm = false;
    fake.tasks.behaviour.secondsToEndAfterSigkill = 0.5;
    launch();
    auto task = worker();
    const double start = fake.queue.now();
    nubrio->applicationWillTerminate();
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->waitCalls, 1);
    EXPECT_NEAR(fake.queue.now() - start, 3.5, 1e-9);
}

TEST_F(StopTest, WorkerOutsideItsGroupIsStillStoppedWithinTheBound) {
    fake.tasks.behaviour.endsOnSigterm = false;
    fake.tasks.behaviour.leftItsGroup = true;
    launch();
    auto task = worker();
    nubrio->applicationWillTerminate();
    EXPECT_EQ(task->terminateCalls, 1);  // the group signal failed: SIGTERM to the process
    EXPECT_EQ(fake.process.kills.back(), std::make_pair(task->pid, 9));
    EXPECT_FALSE(task->isRunning());
}

TEST_F(StopTest, NoWorkerOrAnEndedOneGetsNoSignal) {
    launch();
    worker()->end(3);
    fake.queue.runUntilIdle();
    nubrio->applicationWillTerminate();
    EXPECT_TRUE(fake.process.kills.empty());
    EXPECT_EQ(worker()->waitCalls, 0);
    EXPECT_FALSE(state().worker());
    nubrio->applicationWillTerminate();  // and again with none at all
    EXPECT_TRUE(fake.process.kills.empty());
}

TEST_F(StopTest, RestartAndQuitAskFirstAndOnlyTheSecondButtonActs) {
    launch();
    auto task = worker();
    fake.alerts.results = {1000, 1000};
    nubrio->restart();
    nubrio->quit();
    EXPECT_TRUE(task->isRunning());
    EXPECT_EQ(fake.application.terminations, 0);
    ASSERT_EQ(fake.alerts.shown.size(), 2u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "¿Reiniciar Nubrio?");
    EXPECT_EQ(fake.alerts.shown[0].informativeText,
              "Los trabajos en curso se interrumpirán. Los archivos guardados se conservan.");
    EXPECT_EQ(fake.alerts.shown[0].buttons, (std::vector<std::string>{"Seguir procesando", "Reiniciar"}));
    EXPECT_EQ(fake.alerts.shown[1].messageText, "¿Cerrar Nubrio?");
    EXPECT_EQ(fake.alerts.shown[1].informativeText,
              "Los clips que se estén procesando se interrumpirán. Tus archivos guardados se conservan.");
    EXPECT_EQ(fake.alerts.shown[1].buttons, (std::vector<std::string>{"Seguir procesando", "Cerrar Nubrio"}));

    fake.alerts.results = {1001};
    nubrio->quit();
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_EQ(fake.process.kills.front(), std::make_pair(-task->pid, 15));
    EXPECT_FALSE(task->isRunning());
}

TEST_F(StopTest, StoppingIsSetBeforeAnySignal) {
    launch();
    answerReady();
    std::vector<std::pair<bool, bool>> seen;  // stopping and ready at each signal
    fake.process.whileKilling = [&](int, int) { seen.emplace_back(state().stopping(), state().ready()); };
    nubrio->applicationWillTerminate();
    ASSERT_FALSE(seen.empty());
    for (auto [stopping, ready] : seen) {
        EXPECT_TRUE(stopping);
        EXPECT_FALSE(ready);
    }
}

// The stopped worker's exit handling runs inside stopWorker's wait (the platform ran the main queue
// there) or only after the new worker has started; it finds stopping set, or another task, and ends.
TEST_F(StopTest, RestartIgnoresTheStoppedWorkersExitInEitherOrder) {
    for (bool insideTheWait : {true, false}) {
        SCOPED_TRACE(insideTheWait ? "inside the wait" : "after the new start");
        fake::FakePlatform local;
        local.tasks.behaviour.endsOnSigterm = false;
        local.tasks.behaviour.secondsToEndAfterSigkill = 0.5;  // still there when the wait begins
        local.tasks.waitRunsQueuedWork = insideTheWait;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        local.application.setDelegate(delegate);
        delegate->applicationDidFinishLaunching();
        local.queue.runUntilIdle();
        auto first = local.tasks.last();

        local.alerts.results = {1001};
        delegate->restart();
        EXPECT_EQ(local.queue.pendingBlocks(), insideTheWait ? 0u : 1u);
        local.queue.runUntilIdle();

        NubrioInspector inspector(*delegate);
        EXPECT_FALSE(first->isRunning());
        ASSERT_EQ(local.tasks.tasks.size(), 2u);
        EXPECT_EQ(inspector.worker(), local.tasks.last());
        EXPECT_TRUE(local.tasks.last()->isRunning());
        EXPECT_FALSE(inspector.stopping());
        EXPECT_TRUE(inspector.restarts().empty());
        EXPECT_EQ(local.alerts.shown.size(), 1u);  // only the question
        EXPECT_EQ(inspector.status()->title(), kPreparing);
    }
}

TEST_F(StopTest, DismissingAConfirmationChangesNothing) {
    struct Case {
        const char* name;
        void (Nubrio::*command)();
    };
    const Case cases[] = {{"restart", &Nubrio::restart}, {"quit", &Nubrio::quit}, {"uninstall", &Nubrio::uninstall}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform local;
        local.loginItems.current = platform::LoginItemStatus::Enabled;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        local.application.setDelegate(delegate);
        delegate->applicationDidFinishLaunching();
        local.queue.runUntilIdle();
        auto task = local.tasks.last();
        const Uuid startup = NubrioInspector(*delegate).startup();

        local.alerts.results = {fake::FakeAlerts::Dismiss};
        ((*delegate).*c.command)();
        local.queue.runUntilIdle();
        ASSERT_EQ(local.alerts.shown.size(), 1u);
        EXPECT_EQ(local.alerts.shown[0].buttons.size(), 2u);
        EXPECT_EQ(local.application.terminations, 0);
        EXPECT_TRUE(local.process.kills.empty());
        EXPECT_TRUE(task->isRunning());
        EXPECT_EQ(local.tasks.tasks.size(), 1u);
        EXPECT_TRUE(NubrioInspector(*delegate).startup() == startup);
        EXPECT_TRUE(local.files.trashed.empty());
        EXPECT_TRUE(local.loginItems.calls.empty());
    }
}

TEST_F(StopTest, RestartDropsAParkedEditorRequest) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch();
    nubrio->applicationOpenUrls({"nubrio://connect"});
    fake.alerts.results = {1001};
    nubrio->restart();
    fake.queue.runUntilIdle();
    fake.url.answer(std::nullopt);  // the old run's request
    fake.queue.runUntilIdle();
    answerReady();
    EXPECT_TRUE(state().ready());
    EXPECT_TRUE(fake.workspace.opened.empty());
}

}  // namespace
}  // namespace nubrio::testing
