#include "harness.h"
#include "worker/challenge.h"

namespace nubrio::testing {
namespace {

TEST(ChallengeAnswer, OnlyOurWorkersPidAndExactVersionCount) {
    struct Case {
        std::optional<std::string> body;
        bool counts;
    };
    const Case cases[] = {
        {R"({"pid": 4000, "version": "1.4.2"})", true},
        {R"({"version": "1.4.2", "pid": 4000, "extra": [1, {"a": null}]})", true},
        {R"({"pid": 4000.0, "version": "1.4.2"})", true},
        {R"({"pid": 4000.9, "version": "1.4.2"})", true},  // the fraction is cut off
        {R"({"pid": 4294971296, "version": "1.4.2"})", true},  // 2^32 + 4000 as a 32-bit integer
        {std::nullopt, false},
        {"", false},
        {"not json", false},
        {R"({"pid": 4000, "version": "1.4.2"} trailing)", false},
        {R"([{"pid": 4000, "version": "1.4.2"}])", false},
        {"4000", false},
        {R"("1.4.2")", false},
        {"{}", false},
        {R"({"pid": "4000", "version": "1.4.2"})", false},
        {R"({"pid": 4001, "version": "1.4.2"})", false},
        {R"({"pid": -4000, "version": "1.4.2"})", false},
        {R"({"pid": 4000})", false},
        {R"({"version": "1.4.2"})", false},
        {R"({"pid": 4000, "version": "1.4.3"})", false},
        {R"({"pid": 4000, "version": "1.4.2 "})", false},
        {R"({"pid": 4000, "version": 1.42})", false},
        {R"({"pid": null, "version": "1.4.2"})", false},
        {R"({"pid": true, "version": "1.4.2"})", false},
        {R"({"pid": 1e400, "version": "1.4.2"})", false},
        {std::string("{\"pid\": 4000, \"version\": \"1.4.2\xff\"}"), false},
        {std::string(70000, '['), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body ? c.body->substr(0, 80) : "<none>");
        EXPECT_EQ(worker::answerIsFromWorker(c.body, 4000, "1.4.2"), c.counts);
    }
    EXPECT_FALSE(worker::answerIsFromWorker(R"({"pid": 4000, "version": "V1"})", 4000, "v1"));
    EXPECT_TRUE(worker::answerIsFromWorker(R"({"pid": 4000, "version": ""})", 4000, ""));
}

class ProbeTest : public CoreTest {};

TEST_F(ProbeTest, ReadyOnTheSecondAttemptOpensTheEditorOnce) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch();
    refuse();
    EXPECT_EQ(fake.url.inFlight(), 0u);
    retryDelay();
    ASSERT_EQ(fake.url.inFlight(), 1u);
    EXPECT_EQ(statusLine(), kPreparing);
    answer(R"({"pid": 4000, "version": "1.4.2", "status": 500})");
    EXPECT_TRUE(state().ready());
    EXPECT_FALSE(state().openWhenReady());
    EXPECT_EQ(statusLine(), kReady);
    EXPECT_EQ(fake.workspace.opened.size(), 1u);
    fake.queue.advance(100);
    EXPECT_EQ(fake.url.requests.size(), 2u);  // no further attempt
}

TEST_F(ProbeTest, ReadyInBackgroundOpensNothing) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch({"--background"});
    answerReady();
    EXPECT_TRUE(state().ready());
    EXPECT_EQ(statusLine(), kReady);
    EXPECT_TRUE(fake.workspace.opened.empty());
}

TEST_F(ProbeTest, GivesUpAfterAttempt60WithTheStatusLineAndAlert) {
    launch({"--background"});
    for (int attempt = 0; attempt <= 59; ++attempt) {
        answer(attempt % 2 ? std::optional<std::string>(challengeAnswer(1)) : std::nullopt);
        EXPECT_TRUE(fake.alerts.shown.empty());
        retryDelay();
    }
    EXPECT_EQ(fake.url.requests.size(), 61u);  // attempt 59 scheduled attempt 60
    refuse();
    EXPECT_EQ(statusLine(), "No se pudo preparar la conexión · Ver registros");
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "No se pudo preparar la conexión");
    EXPECT_EQ(fake.alerts.shown[0].informativeText,
              "Abrí Ver registros desde el logo de Nubrio. Si quedó otra versión abierta, cerrala desde su menú "
              "antes de reiniciar. Tus archivos se conservan.");
    fake.queue.advance(100);
    EXPECT_EQ(fake.url.requests.size(), 61u);
    EXPECT_TRUE(worker()->isRunning());  // left running
    EXPECT_FALSE(state().ready());
}

TEST_F(ProbeTest, CheckModeSuccessTerminatesTheOrdinaryWayWithoutTheEditor) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch({"--verify-startup"});
    nubrio->openWeb();  // parked while the worker starts
    ASSERT_TRUE(state().openWhenReady());
    answerReady();
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_FALSE(worker()->isRunning());  // stopped on the way out
    EXPECT_FALSE(fake.process.exitStatus);
    EXPECT_TRUE(fake.workspace.opened.empty());
}

TEST_F(ProbeTest, CheckModeGiveUpWritesTheLineStopsTheWorkerAndExits2) {
    launch({"--verify-startup"});
    for (int attempt = 0; attempt < 60; ++attempt) {
        refuse();
        retryDelay();
    }
    refuse();
    EXPECT_EQ(fake.process.standardError, "Native readiness probe failed\n");
    EXPECT_EQ(fake.process.exitStatus, 2);
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(fake.application.terminations, 0);
    // A caller reading our output would otherwise wait for the worker that inherited it.
    EXPECT_FALSE(worker()->isRunning());
    EXPECT_EQ(fake.process.kills.front(), std::make_pair(-worker()->pid, 15));
}

TEST_F(ProbeTest, CheckModeGiveUpSaysWhyTheProbeCouldNotRun) {
    fake.url.unavailable = "cannot load /b/Nubrio.app/Contents/PlugIns/nubrio-network.so: a FIFO, not a regular file";
    launch({"--verify-startup"});
    for (int attempt = 0; attempt < 60; ++attempt) {
        refuse();
        retryDelay();
    }
    refuse();
    EXPECT_EQ(fake.process.standardError,
              "Native readiness probe failed: cannot load /b/Nubrio.app/Contents/PlugIns/nubrio-network.so: a FIFO, not "
              "a regular file\n");
    EXPECT_EQ(fake.process.exitStatus, 2);
}

TEST_F(ProbeTest, RetryFollowsOneSecondAfterTheJudgement) {
    launch();
    refuse();
    ASSERT_EQ(fake.url.requests.size(), 1u);
    fake.queue.advance(0.99);
    EXPECT_EQ(fake.url.requests.size(), 1u);
    fake.queue.advance(0.0101);
    EXPECT_EQ(fake.url.requests.size(), 2u);
}

TEST_F(ProbeTest, AnswerFromAWorkerThatHasJustEndedOpensNothing) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch();  // with an editor request
    ASSERT_TRUE(state().openWhenReady());
    const int pid = worker()->pid;
    fake.url.answer(challengeAnswer(pid));  // the right answer is judged after the worker's end
    worker()->end(1);
    fake.queue.runUntilIdle();
    EXPECT_FALSE(state().ready());
    EXPECT_TRUE(fake.workspace.opened.empty());
}

TEST_F(ProbeTest, AfterGivingUpRequestsOnlyParkAndTheNextStartReplacesThem) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch({"--background"});
    for (int attempt = 0; attempt < 60; ++attempt) {
        refuse();
        retryDelay();
    }
    refuse();
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    ASSERT_TRUE(worker()->isRunning());

    // The give-up was said once; the status line keeps saying it.
    nubrio->applicationOpenUrls({"nubrio://connect"});
    EXPECT_TRUE(state().openWhenReady());
    nubrio->openWeb();
    EXPECT_TRUE(state().openWhenReady());
    EXPECT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_TRUE(fake.workspace.opened.empty());
    EXPECT_TRUE(fake.workspace.defaultBrowserQueries.empty());
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_EQ(statusLine(), "No se pudo preparar la conexión · Ver registros");
    fake.queue.advance(100);
    EXPECT_EQ(fake.url.requests.size(), 61u);
    EXPECT_TRUE(fake.workspace.opened.empty());

    // The restart starts without an editor request: it replaces the parked one.
    fake.alerts.results = {1001};
    nubrio->restart();
    EXPECT_FALSE(state().openWhenReady());
    answerReady();
    EXPECT_TRUE(state().ready());
    EXPECT_TRUE(fake.workspace.opened.empty());
    nubrio->applicationOpenUrls({"nubrio://connect"});
    EXPECT_EQ(fake.workspace.opened.size(), 1u);
}

TEST_F(ProbeTest, StaleRunsEndSilently) {
    launch({"--background"});
    auto first = worker();

    // Restart while a request is in flight: its answer, even a good one, is dropped.
    fake.alerts.results = {1001};
    nubrio->restart();
    fake.queue.runUntilIdle();
    ASSERT_EQ(fake.url.inFlight(), 2u);
    answer(challengeAnswer(first->pid));
    EXPECT_FALSE(state().ready());
    EXPECT_EQ(fake.queue.pendingTimers(), 0u);

    // Stop while a retry waits: the retry still sends, and its answer ends the run.
    refuse();
    EXPECT_EQ(fake.queue.pendingTimers(), 1u);
    nubrio->applicationWillTerminate();
    retryDelay();
    answerReady();
    EXPECT_FALSE(state().ready());
    EXPECT_EQ(fake.queue.pendingTimers(), 0u);
}

TEST_F(ProbeTest, WorkerThatExitedEndsTheRunWithoutAlert) {
    launch({"--verify-startup"});
    auto task = worker();
    fake.process.args.pop_back();  // judge outside check mode from here
    fake.url.answer(challengeAnswer(task->pid));  // judged only after the worker has gone
    task->end(1);
    fake.queue.runUntilIdle();
    EXPECT_FALSE(state().ready());
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(fake.tasks.tasks.size(), 2u);  // the exit handling took over
}

// While a retry waits out its delay, it is what holds the delegate (the application's reference is
// weak): the next attempt is still sent.
TEST_F(ProbeTest, AWaitingRetryKeepsTheDelegateAlive) {
    launch();
    refuse();
    ASSERT_EQ(fake.queue.pendingTimers(), 1u);
    const std::weak_ptr<Nubrio> weak = nubrio;
    nubrio.reset();
    EXPECT_FALSE(weak.expired()) << "the waiting retry let go of the delegate";
    retryDelay();
    EXPECT_EQ(fake.url.requests.size(), 2u) << "attempt 1 was not sent";
}

TEST_F(ProbeTest, DelegateGoneWhileInFlightEndsTheRun) {
    launch();
    nubrio.reset();
    fake.url.answer(std::nullopt);
    fake.queue.runUntilIdle();
    EXPECT_EQ(fake.queue.pendingTimers(), 0u);
}

}  // namespace
}  // namespace nubrio::testing
