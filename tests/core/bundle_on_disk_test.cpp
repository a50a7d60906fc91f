// The bundle replaced (an upgrade) or removed under the running program: it starts again from the new
// files once nothing waits on the user, and at the latest instead of starting a worker it could not
// prove; removed, it ends after a grace, its worker stopped.
#include "harness.h"

namespace nubrio::testing {
namespace {

using platform::ExecutableOnDisk;

const std::vector<std::string> kBackground = {"--background"};

class BundleOnDiskTest : public CoreTest {
protected:
    void launchReady(std::vector<std::string> arguments = {"--background"}) {
        launch(std::move(arguments));
        answerReady();
    }
    void upgrade() {
        fake.bundle.setVersion("1.5.0");
        fake.bundle.executable = ExecutableOnDisk::Replaced;
    }
    void remove() {
        fake.bundle.info.clear();
        fake.bundle.executable = ExecutableOnDisk::Missing;
    }
    // The change noticed, and what it leads to now.
    void noticed() {
        fake.bundle.reportChange();
        fake.queue.runUntilIdle();
    }
    const std::vector<std::vector<std::string>>& relaunches() { return fake.application.relaunches; }
};

TEST_F(BundleOnDiskTest, TheProgramWatchesItsBundle) {
    launch();
    EXPECT_EQ(fake.bundle.watchCalls, 1);
}

TEST_F(BundleOnDiskTest, TheCheckNeitherWatchesNorFollowsItsBundle) {
    upgrade();
    launch({"--verify-startup"});
    EXPECT_EQ(fake.bundle.watchCalls, 0);
    EXPECT_EQ(fake.tasks.tasks.size(), 1u) << "it checks the worker it was started with";
    EXPECT_TRUE(relaunches().empty());
}

// What counts as a new version: the program file, the version its Info.plist names, or both.
struct Upgrade {
    const char* what;
    ExecutableOnDisk executable;
    const char* version;
};
class UpgradeTest : public BundleOnDiskTest, public ::testing::WithParamInterface<Upgrade> {};

TEST_P(UpgradeTest, StartsTheProgramAgainWithTheWorkerStopped) {
    launchReady();
    auto task = worker();
    fake.bundle.executable = GetParam().executable;
    fake.bundle.setVersion(GetParam().version);
    noticed();
    ASSERT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
    EXPECT_EQ(fake.process.kills, (std::vector<std::pair<int, int>>{{-task->pid, 15}}))
        << "the ordinary stop, before the new program starts";
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(fake.tasks.tasks.size(), 1u) << "no worker of the new version from this program";
    EXPECT_EQ(fake.application.terminations, 0);
    EXPECT_TRUE(fake.alerts.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(EitherPart, UpgradeTest,
                         ::testing::Values(Upgrade{"ProgramAndVersion", ExecutableOnDisk::Replaced, "1.5.0"},
                                           Upgrade{"ProgramFileAlone", ExecutableOnDisk::Replaced, "1.4.2"},
                                           Upgrade{"VersionAlone", ExecutableOnDisk::Same, "1.5.0"}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(BundleOnDiskTest, NothingChangedMeansNothingHappens) {
    launchReady();
    noticed();  // a file touched, or an installer's temporary file come and gone
    EXPECT_TRUE(relaunches().empty());
    EXPECT_EQ(fake.application.terminations, 0);
    EXPECT_TRUE(worker()->isRunning());
    EXPECT_EQ(fake.queue.pendingTimers(), 0u);
}

// Back as it was: in the background, unless the editor was waiting to open.
struct Pending {
    const char* what;
    std::vector<std::string> arguments;  // of the start
    bool ready;
    bool linkMeanwhile;
    std::vector<std::string> relaunchedWith;
};
class PendingEditorTest : public BundleOnDiskTest, public ::testing::WithParamInterface<Pending> {};

TEST_P(PendingEditorTest, GoesAlongOnlyWhenItWasWaiting) {
    const Pending& c = GetParam();
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch(c.arguments);
    if (c.ready) answerReady();
    if (c.linkMeanwhile) nubrio->applicationOpenUrls({"nubrio://connect"});
    upgrade();
    noticed();
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{c.relaunchedWith});
}

INSTANTIATE_TEST_SUITE_P(
    Starts, PendingEditorTest,
    ::testing::Values(Pending{"BackgroundReady", {"--background"}, true, false, kBackground},
                      Pending{"EditorOpenedOnceReady", {}, true, false, kBackground},
                      Pending{"EditorWaitingForReadiness", {}, false, false, {}},
                      Pending{"BackgroundWithALinkParked", {"--background"}, false, true, {}},
                      Pending{"BackgroundNotReady", {"--background"}, false, false, kBackground}),
    [](const auto& info) { return std::string(info.param.what); });

// The restart waits while the user is asked something.
TEST_F(BundleOnDiskTest, AnOpenAlertHoldsTheRestartUntilItCloses) {
    launchReady();
    fake.alerts.whileShown = [this](const platform::Alert&) {
        upgrade();
        noticed();
        EXPECT_TRUE(relaunches().empty()) << "not while the alert is open";
    };
    fake.alerts.results = {platform::AlertFirstButtonReturn};  // "Seguir procesando"
    nubrio->quit();
    EXPECT_TRUE(relaunches().empty());
    fake.queue.runUntilIdle();
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
}

// A choice that starts a worker is the latest moment: the new program comes there instead of it.
TEST_F(BundleOnDiskTest, ARestartChosenMeanwhileBecomesTheProgramsRestart) {
    launchReady();
    auto task = worker();
    fake.alerts.whileShown = [this](const platform::Alert&) {
        upgrade();
        noticed();
    };
    fake.alerts.results = {platform::AlertSecondButtonReturn};  // "Reiniciar"
    nubrio->restart();
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(fake.tasks.tasks.size(), 1u) << "the restart's worker is the new program's";
    fake.queue.runUntilIdle();
    EXPECT_EQ(relaunches().size(), 1u);
}

// Unnoticed (no word from the watcher yet), the replacement still never gets a worker started from it.
TEST_F(BundleOnDiskTest, NoAutomaticRestartFromAReplacedBundle) {
    launchReady();
    upgrade();
    worker()->end(1);
    fake.queue.runUntilIdle();
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
    EXPECT_TRUE(fake.alerts.shown.empty());
}

TEST_F(BundleOnDiskTest, NoMenuRestartFromAReplacedBundle) {
    launchReady();
    upgrade();
    fake.alerts.results = {platform::AlertSecondButtonReturn};
    nubrio->restart();
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
    EXPECT_EQ(fake.alerts.shown.size(), 1u) << "only the restart's own question";
}

TEST_F(BundleOnDiskTest, ReplacedBeforeTheFirstWorkerTheLaunchStartsTheNewVersion) {
    upgrade();
    launch();
    EXPECT_TRUE(fake.tasks.tasks.empty());
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{{}}) << "the editor it was started for goes along";
}

TEST_F(BundleOnDiskTest, ReplacedBeforeTheFirstWorkerABackgroundLaunchStaysInTheBackground) {
    upgrade();
    launch({"--background"});
    EXPECT_TRUE(fake.tasks.tasks.empty());
    EXPECT_EQ(relaunches(), std::vector<std::vector<std::string>>{kBackground});
}

TEST_F(BundleOnDiskTest, ARemovalEndsTheProgramAfterTheGrace) {
    launchReady();
    auto task = worker();
    remove();
    noticed();
    EXPECT_EQ(fake.application.terminations, 0) << "not before the grace";
    EXPECT_TRUE(task->isRunning());
    fake.queue.advance(4.9);
    EXPECT_EQ(fake.application.terminations, 0);
    fake.queue.advance(0.2);
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_EQ(fake.process.kills, (std::vector<std::pair<int, int>>{{-task->pid, 15}}));
    EXPECT_FALSE(task->isRunning());
    EXPECT_TRUE(relaunches().empty());
    EXPECT_TRUE(fake.alerts.shown.empty());
}

// Whatever is at the path once the grace is over decides: a new version is started, the same files
// mean nothing happened, and a bundle that lacks its program or its version proves no worker.
struct Back {
    const char* what;
    ExecutableOnDisk executable;
    std::optional<std::string> version;
    int terminations;
    std::size_t relaunched;
};
class AfterTheGraceTest : public BundleOnDiskTest, public ::testing::WithParamInterface<Back> {};

TEST_P(AfterTheGraceTest, WhatIsBackDecides) {
    const Back& c = GetParam();
    launchReady();
    remove();
    noticed();
    fake.bundle.executable = c.executable;
    if (c.version) fake.bundle.setVersion(*c.version);
    fake.queue.advance(6);
    EXPECT_EQ(fake.application.terminations, c.terminations);
    EXPECT_EQ(relaunches().size(), c.relaunched);
    EXPECT_EQ(worker()->isRunning(), c.terminations == 0 && c.relaunched == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Removal, AfterTheGraceTest,
    ::testing::Values(Back{"ANewVersion", ExecutableOnDisk::Replaced, "1.5.0", 0, 1},
                      Back{"TheSameFiles", ExecutableOnDisk::Same, "1.4.2", 0, 0},
                      Back{"TheProgramWithoutInfoPlist", ExecutableOnDisk::Same, std::nullopt, 1, 0},
                      Back{"InfoPlistWithoutTheProgram", ExecutableOnDisk::Missing, "1.4.2", 1, 0}),
    [](const auto& info) { return std::string(info.param.what); });

// "Reiniciar procesamiento…" after the removal: no launch that fails on a missing file, no alert;
// the grace decides as for the watcher.
TEST_F(BundleOnDiskTest, ARestartAfterTheRemovalStartsNothingFromMissingFiles) {
    launchReady();
    remove();
    fake.alerts.results = {platform::AlertSecondButtonReturn};
    nubrio->restart();
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_EQ(fake.alerts.shown.size(), 1u) << "only the restart's question";
    fake.queue.advance(6);
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);
}

// Back in time, as from an installer that deletes before it copies: the restart goes on.
TEST_F(BundleOnDiskTest, ARestartDuringAPassingGapStartsTheWorkerAfterIt) {
    launchReady();
    fake.bundle.executable = ExecutableOnDisk::Missing;
    fake.alerts.results = {platform::AlertSecondButtonReturn};
    nubrio->restart();
    fake.bundle.executable = ExecutableOnDisk::Same;
    fake.queue.advance(6);
    EXPECT_EQ(fake.application.terminations, 0);
    ASSERT_EQ(fake.tasks.tasks.size(), 2u);
    EXPECT_TRUE(worker()->isRunning());
    EXPECT_EQ(statusLine(), kPreparing);
}

}  // namespace
}  // namespace nubrio::testing
