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
