#include "harness.h"

namespace nubrio::testing {
namespace {

using platform::TerminationReason;

class WorkerTest : public CoreTest {
protected:
    // The current worker ends unexpectedly and the exit handling runs.
    void workerEnds(int status, TerminationReason reason = TerminationReason::Exit) {
        worker()->end(status, reason);
        fake.queue.runUntilIdle();
    }
    const std::filesystem::path errorFile = "/Users/ana/Library/Application Support/Nubrio/logs/startup-error.txt";
};

TEST_F(WorkerTest, LaunchesFromTheBundleInHomeAndProbesAtOnce) {
    launch();
    auto task = worker();
    EXPECT_TRUE(task->launched);
    EXPECT_TRUE(task->nullStandardInput);
    EXPECT_EQ(task->executable, "/Applications/Nubrio.app/Contents/Resources/service/NubrioService/NubrioService");
    EXPECT_EQ(task->directory, "/Users/ana/Library/Application Support/Nubrio");
    EXPECT_EQ(statusLine(), kPreparing);
    EXPECT_EQ(state().worker(), task);
    ASSERT_EQ(fake.url.requests.size(), 1u);
    EXPECT_EQ(fake.url.requests[0].url, "http://127.0.0.1:4173/api/desktop/challenge");
    EXPECT_EQ(fake.url.requests[0].cachePolicy, platform::CachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(fake.url.requests[0].timeoutSeconds, 2.0);
}

TEST_F(WorkerTest, LaunchFailureAlertsThenTerminates) {
    fake.tasks.launchErrors.push_back({"POSIX", 2, "No existe el fichero o el directorio"});
    launch();
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "No se pudo abrir Nubrio");
    EXPECT_EQ(fake.alerts.shown[0].informativeText, "No existe el fichero o el directorio");
    EXPECT_TRUE(fake.alerts.shown[0].buttons.empty());
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_FALSE(state().worker());
    EXPECT_EQ(statusLine(), "Nubrio en segundo plano");
}

TEST_F(WorkerTest, LaunchFailureInCheckModeWritesTheErrorAndExits2) {
    fake.tasks.launchErrors.push_back({"POSIX", 2, "No such file or directory"});
    launch({"--verify-startup"});
    EXPECT_EQ(fake.process.standardError,
              "Could not launch worker: Error Domain=POSIX Code=2 \"No such file or directory\"\n");
    EXPECT_EQ(fake.process.exitStatus, 2);
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(fake.application.terminations, 0);
}

TEST_F(WorkerTest, BundleWithoutResourcesIsALaunchFailure) {
    fake.bundle.resources.reset();
    fake.tasks.launchErrors.push_back({"POSIX", 2, "missing"});
    launch();
    EXPECT_EQ(worker()->executable, std::filesystem::path());
    EXPECT_EQ(fake.application.terminations, 1);
}

TEST_F(WorkerTest, StartupFailureShowsTheWorkersOwnTextOrTheFallback) {
    struct Case {
        std::optional<std::string> file;
        std::string shown;
    };
    const Case cases[] = {
        {"El puerto 4173 está ocupado.\n", "El puerto 4173 está ocupado.\n"},
        {"", ""},
        {std::nullopt, "Instalalo de nuevo desde nubrio.app/downloads."},  // missing, unreadable or not UTF-8
    };
    for (const Case& c : cases) {
        fake::FakePlatform local;
        if (c.file) local.files.files[errorFile] = *c.file;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        local.tasks.last()->end(3);
        local.queue.runUntilIdle();
        ASSERT_EQ(local.alerts.shown.size(), 1u);
        EXPECT_EQ(local.alerts.shown[0].messageText, "Nubrio no pudo arrancar en esta Mac");
        EXPECT_EQ(local.alerts.shown[0].informativeText, c.shown);
        NubrioInspector inspector(*delegate);
        EXPECT_EQ(inspector.status()->title(), kHalted);
        EXPECT_TRUE(inspector.restarts().empty());
        EXPECT_EQ(local.tasks.tasks.size(), 1u);  // no restart
        EXPECT_EQ(inspector.worker(), local.tasks.last());
    }
}

TEST_F(WorkerTest, DeathBySignal3IsACrashNotAStartupReport) {
    launch();
    workerEnds(3, TerminationReason::UncaughtSignal);
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(fake.tasks.tasks.size(), 2u);
    EXPECT_TRUE(fake.files.reads.empty());
}

TEST_F(WorkerTest, UnexpectedExitsRestartThreeTimesThenHalt) {
    launch();
    fake.url.answer(std::nullopt);
    for (int exit = 0; exit < 3; ++exit) {
        workerEnds(exit == 0 ? 0 : 1);  // status 0 is unexpected too
        fake.queue.advance(10);
    }
    EXPECT_EQ(fake.tasks.tasks.size(), 4u);
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_FALSE(state().openWhenReady());  // restarts never open the editor

    workerEnds(1);
    EXPECT_EQ(fake.tasks.tasks.size(), 4u);
    EXPECT_EQ(state().restarts().size(), 3u);
    EXPECT_EQ(statusLine(), kHalted);
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "El procesamiento de Nubrio se detuvo");
    EXPECT_EQ(fake.alerts.shown[0].informativeText,
              "Volvé a abrir la aplicación. Los registros están en Ver archivos de esta Mac → logs.");

    // A manual restart still works, but another crash inside the window halts at once.
    fake.alerts.results = {1001};
    nubrio->restart();
    fake.queue.runUntilIdle();
    EXPECT_EQ(fake.tasks.tasks.size(), 5u);
    EXPECT_TRUE(fake.process.kills.empty());  // the ended task got no signal
    EXPECT_EQ(statusLine(), kPreparing);
    workerEnds(1);
    EXPECT_EQ(fake.tasks.tasks.size(), 5u);
    EXPECT_EQ(fake.alerts.shown.back().messageText, "El procesamiento de Nubrio se detuvo");
}

TEST_F(WorkerTest, RestartWindowDropsEntriesExactly600SecondsOld) {
    launch();
    workerEnds(1);  // t0
    fake.queue.advance(1);
    workerEnds(1);  // t0 + 1
    fake.queue.advance(1);
    workerEnds(1);  // t0 + 2
    EXPECT_EQ(fake.tasks.tasks.size(), 4u);

    fake.queue.advance(597.999);  // the oldest entry is 599.999 s old: still counted
    workerEnds(1);
    EXPECT_EQ(fake.tasks.tasks.size(), 4u);
    EXPECT_EQ(statusLine(), kHalted);

    fake.alerts.results = {1001};
    nubrio->restart();
    fake.queue.advance(0.001);  // now exactly 600.0 s after the oldest: it is dropped
    workerEnds(1);
    EXPECT_EQ(fake.tasks.tasks.size(), 6u);
    EXPECT_EQ(state().restarts().size(), 3u);
}

TEST_F(WorkerTest, RestartWindowKeepsEntriesLaterThanNow) {
    launch();
    for (int exit = 0; exit < 3; ++exit) {
        workerEnds(1);
        fake.queue.advance(1);
    }
    ASSERT_EQ(fake.tasks.tasks.size(), 4u);
    fake.queue.setClockBack(3600);  // the three entries now lie an hour ahead
    workerEnds(1);
    EXPECT_EQ(fake.tasks.tasks.size(), 4u);
    EXPECT_EQ(state().restarts().size(), 3u);
    EXPECT_EQ(statusLine(), kHalted);
}

TEST_F(WorkerTest, ExitsOfOlderOrStoppedWorkersAreIgnored) {
    launch();
    auto first = worker();
    fake.alerts.results = {1001};
    nubrio->restart();  // stops the first worker: its exit arrives while stopping
    fake.queue.runUntilIdle();
    auto second = worker();
    ASSERT_NE(first, second);
    EXPECT_EQ(fake.tasks.tasks.size(), 2u);
    EXPECT_TRUE(fake.alerts.shown.size() == 1u);  // only the question

    // A late exit of an older task, with stopping false again, is not the current worker's.
    fake::FakeTask& old = *first;
    EXPECT_FALSE(old.isRunning());
    EXPECT_EQ(state().worker(), second);
    EXPECT_FALSE(state().stopping());
}

TEST_F(WorkerTest, ExitAfterTheDelegateIsGoneDoesNothing) {
    launch();
    auto task = worker();
    nubrio.reset();
    task->end(1);
    fake.queue.runUntilIdle();
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_TRUE(fake.alerts.shown.empty());
}

TEST_F(WorkerTest, LinkAfterAHaltOnlyParks) {
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch({"--background"});
    answerReady();
    worker()->end(3);  // halted: the worker that was ready is gone
    fake.queue.runUntilIdle();
    ASSERT_EQ(statusLine(), kHalted);
    nubrio->applicationOpenUrls({"nubrio://connect"});
    EXPECT_TRUE(fake.workspace.opened.empty());
    EXPECT_TRUE(state().openWhenReady());
}

TEST_F(WorkerTest, CheckModeExitOfTheWorkerEndsWithStatus2WhateverItsStatus) {
    for (int status : {0, 1, 3}) {
        fake::FakePlatform local;
        local.process.args.push_back("--verify-startup");
        local.files.files[errorFile] = "x";
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        local.tasks.last()->end(status);
        local.queue.runUntilIdle();
        EXPECT_EQ(local.process.exitStatus, 2);
        EXPECT_TRUE(local.alerts.shown.empty());
        EXPECT_EQ(local.process.standardError, "");
        EXPECT_EQ(local.tasks.tasks.size(), 1u);
    }
}

}  // namespace
}  // namespace nubrio::testing
