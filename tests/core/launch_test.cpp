#include "app/run_application.h"
#include "app/statusbar/menu_titles.h"
#include "harness.h"

namespace nubrio::testing {
namespace {

using platform::InfoValue;
using platform::LoginItemStatus;

class LaunchTest : public CoreTest {};

TEST_F(LaunchTest, MenuHasTenEntriesInOrderWithActionsAndStates) {
    launch();
    ASSERT_EQ(fake.statusBar.items.size(), 1u);
    auto& item = *fake.statusBar.items[0];
    EXPECT_EQ(item.length, -1.0);
    ASSERT_TRUE(item.menu);
    struct Row {
        const char* title;
        const char* selector;  // nullptr: no action
        bool enabled;
    };
    const Row expected[] = {
        {kPreparing, nullptr, false},  // the worker has started
        {"", nullptr, false},  // separator
        {"Abrir Nubrio", "openWeb", true},
        {"Ver archivos de esta Mac", "openFiles", true},
        {"Ver registros", "openLogs", true},
        {"Reiniciar procesamiento\u2026", "restart", true},
        {"Abrir al iniciar sesi\u00f3n", "toggleLogin", true},
        {"Acerca de Nubrio", "about", true},
        {"Desinstalar Nubrio\u2026", "uninstall", true},
        {"Salir de Nubrio\u2026", "quit", true},
    };
    auto items = item.menu->items();
    ASSERT_EQ(items.size(), std::size(expected));
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i]->isSeparator(), i == 1);
        EXPECT_EQ(items[i]->title(), expected[i].title);
        EXPECT_EQ(items[i]->isEnabled(), expected[i].enabled);
        EXPECT_EQ(items[i]->keyEquivalent(), "");
        if (expected[i].selector) {
            ASSERT_TRUE(items[i]->action());
            EXPECT_EQ(items[i]->action()->selector, expected[i].selector);
        } else {
            EXPECT_FALSE(items[i]->action());
        }
    }
    EXPECT_EQ(fake.statusBar.createdTitles.front(), "Nubrio en segundo plano");
    EXPECT_EQ(items[0], state().status());
    EXPECT_EQ(items[6], state().login());
    EXPECT_EQ(item.button_.toolTip, "Nubrio \u00b7 procesamiento en esta Mac");
    ASSERT_TRUE(item.button_.image);
    EXPECT_EQ(item.button_.image->width, 18);
    EXPECT_EQ(item.button_.image->height, 18);
    EXPECT_TRUE(item.button_.image->flipped);
    EXPECT_TRUE(item.button_.image->isTemplate);
}

// The launcher offers these where there is no tray: they must be the menu's own commands, in its order.
TEST_F(LaunchTest, TheMenusCommandListIsTheMenuBelowOpenNubrio) {
    launch();
    auto items = fake.statusBar.items[0]->menu->items();
    const std::vector<menu_titles::Command> commands = menu_titles::commands(fake.words);
    ASSERT_EQ(items.size(), 3 + commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& item = items[3 + i];
        ASSERT_TRUE(item->action());
        EXPECT_EQ(item->action()->selector, commands[i].selector);
        EXPECT_EQ(item->title(), commands[i].title);
    }
}

TEST_F(LaunchTest, MenuActionsReachTheDelegateAndNotAGoneOne) {
    launch();
    auto items = fake.statusBar.items[0]->menu->items();
    items[7]->action()->invoke();  // about
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(fake.alerts.shown[0].messageText, "Nubrio 1.4.2");

    nubrio.reset();
    items[7]->action()->invoke();
    EXPECT_EQ(fake.alerts.shown.size(), 1u);
}

TEST_F(LaunchTest, LoginItemStartsOnOnlyWhenEnabled) {
    const std::pair<LoginItemStatus, bool> cases[] = {{LoginItemStatus::NotRegistered, false},
                                                      {LoginItemStatus::Enabled, true},
                                                      {LoginItemStatus::RequiresApproval, false},
                                                      {LoginItemStatus::NotFound, false}};
    for (auto [status, on] : cases) {
        SCOPED_TRACE(static_cast<int>(status));
        fake::FakePlatform local;
        local.loginItems.current = status;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        EXPECT_EQ(NubrioInspector(*delegate).login()->isOn(), on);
    }
}

TEST_F(LaunchTest, FlagsAreWholeCaseSensitiveArgumentsAnywhere) {
    struct Case {
        std::vector<std::string> arguments;
        bool opensEditor;
    };
    const Case cases[] = {
        {{}, true},
        {{"--verify-startup"}, false},
        {{"--background"}, false},
        {{"--background", "--verify-startup"}, false},
        {{"x", "--background", "y"}, false},
        {{"--verify-startup=1"}, true},
        {{"--Background"}, true},
        {{"-background"}, true},
        {{"---background"}, true},
        {{"--backgroundx"}, true},
        {{" --background"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        fake::FakePlatform local;
        for (auto& argument : c.arguments) local.process.args.push_back(argument);
        local.workspace.install("com.google.Chrome", "google-chrome.desktop");
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        EXPECT_EQ(NubrioInspector(*delegate).openWhenReady(), c.opensEditor);
    }
}

TEST_F(LaunchTest, ProgramPathCountsLikeAnyArgument) {
    fake.process.args = {"--background"};
    launch();
    EXPECT_FALSE(state().openWhenReady());
}

TEST_F(LaunchTest, SecondCopyOpensTheEditorAndTerminatesCreatingNothing) {
    fake.workspace.running = {fake.process.pid, 4242};
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    std::optional<std::size_t> openedAtTermination;
    fake.application.whileTerminating = [&] { openedAtTermination = fake.workspace.opened.size(); };
    launch();
    EXPECT_EQ(fake.workspace.runningQueries, std::vector<std::string>{"app.nubrio.desktop"});
    ASSERT_EQ(fake.workspace.opened.size(), 1u);  // at once: this copy has no worker
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_EQ(openedAtTermination, 1u) << "the editor opens before the copy ends";
    EXPECT_TRUE(fake.statusBar.items.empty());
    EXPECT_TRUE(fake.files.created.empty());
    EXPECT_TRUE(fake.tasks.tasks.empty());
    EXPECT_FALSE(state().item());
    EXPECT_FALSE(state().status());
}

TEST_F(LaunchTest, CheckModeWithAnotherCopyOpensNothingAndExits2) {
    fake.workspace.running = {fake.process.pid, 4242};
    fake.workspace.install("com.google.Chrome", "google-chrome.desktop");
    launch({"--verify-startup"});
    EXPECT_EQ(fake.process.standardError, "Another copy of Nubrio is running\n");
    EXPECT_EQ(fake.process.exitStatus, 2);
    EXPECT_TRUE(fake.workspace.opened.empty());
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(fake.application.terminations, 0);
    EXPECT_TRUE(fake.tasks.tasks.empty());
}

TEST_F(LaunchTest, ThisProcessAloneIsNoOtherCopy) {
    fake.workspace.running = {fake.process.pid, fake.process.pid};
    launch();
    EXPECT_EQ(fake.application.terminations, 0);
    EXPECT_EQ(fake.statusBar.items.size(), 1u);
}

TEST_F(LaunchTest, DataFolderIsCreatedAndAFailureIsIgnored) {
    fake.files.home = "/home/ana";
    fake.files.createError = platform::Error{"POSIX", 13, "Permiso denegado"};
    launch();
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(state().home(), "/home/ana/Library/Application Support/Nubrio");
    EXPECT_EQ(fake.statusBar.items.size(), 1u);
    EXPECT_EQ(fake.tasks.tasks.size(), 1u);

    fake::FakePlatform ok;
    ok.files.home = "/home/ana";
    auto delegate = std::make_shared<Nubrio>(ok.platform);
    EXPECT_TRUE(ok.files.created.empty());  // not created by the initializer
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(ok.files.created, std::vector<std::filesystem::path>{"/home/ana/Library/Application Support/Nubrio"});
    EXPECT_TRUE(ok.files.folderExists("/home/ana/Library")) << "the missing parents are made too";
}

// On a fresh home the data folder does not exist until the launch makes it, and the worker starts
// in it: made any later, the first start fails for want of its working folder.
TEST_F(LaunchTest, DataFolderIsMadeBeforeTheWorkerStartsInIt) {
    for (const bool checkMode : {false, true}) {
        SCOPED_TRACE(checkMode ? "check mode" : "ordinary start");
        fake::FakePlatform local;
        local.files.home = "/home/ana";
        local.tasks.folderExists = [&local](const std::filesystem::path& folder) {
            return local.files.folderExists(folder);
        };
        if (checkMode) local.process.args.push_back("--verify-startup");
        auto delegate = std::make_shared<Nubrio>(local.platform);
        local.application.setDelegate(delegate);
        delegate->applicationDidFinishLaunching();
        local.queue.runUntilIdle();

        ASSERT_EQ(local.tasks.tasks.size(), 1u);
        EXPECT_TRUE(local.tasks.last()->launched) << "standard error: " << local.process.standardError;
        EXPECT_EQ(local.tasks.last()->directory, "/home/ana/Library/Application Support/Nubrio");
        for (const platform::Alert& alert : local.alerts.shown)
            ADD_FAILURE() << "alert: " << alert.messageText << " / " << alert.informativeText;
        EXPECT_EQ(local.process.exitStatus, std::nullopt);
        EXPECT_EQ(NubrioInspector(*delegate).status()->title(), kPreparing);
    }
}

// The folder is the platform's answer with "Nubrio" inside, wherever the platform keeps such folders.
TEST_F(LaunchTest, DataFolderIsNubrioInThePlatformsApplicationSupportFolder) {
    fake.files.home = "/home/ana";
    fake.files.applicationSupport = "/home/ana/.local/share";
    launch();
    EXPECT_EQ(state().home(), "/home/ana/.local/share/Nubrio");
    EXPECT_EQ(fake.files.created, std::vector<std::filesystem::path>{"/home/ana/.local/share/Nubrio"});
    ASSERT_EQ(fake.tasks.tasks.size(), 1u);
    EXPECT_EQ(fake.tasks.tasks[0]->directory, "/home/ana/.local/share/Nubrio");
}

TEST_F(LaunchTest, StatusItemWithoutButtonStillGetsTheMenu) {
    fake.statusBar.itemsHaveButtons = false;
    launch();
    EXPECT_TRUE(fake.statusBar.items[0]->menu);
    EXPECT_EQ(fake.statusBar.items[0]->menu->items().size(), 10u);
}

TEST_F(LaunchTest, VersionIsTheStringValueOrEmpty) {
    struct Case {
        std::optional<InfoValue> value;
        std::string version;
    };
    const Case cases[] = {
        {InfoValue{InfoValue::Kind::String, "1.4.2"}, "1.4.2"},
        {InfoValue{InfoValue::Kind::String, ""}, ""},
        {InfoValue{InfoValue::Kind::Other, ""}, ""},
        {std::nullopt, ""},
    };
    for (const Case& c : cases) {
        fake::FakePlatform local;
        local.bundle.info.clear();
        if (c.value) local.bundle.info["CFBundleShortVersionString"] = *c.value;
        Nubrio delegate(local.platform);
        EXPECT_EQ(NubrioInspector(delegate).version(), c.version);
    }
}

TEST_F(LaunchTest, EachDelegateDrawsItsOwnGeneration) {
    Nubrio first(fake.platform), second(fake.platform);
    EXPECT_FALSE(NubrioInspector(first).startup() == NubrioInspector(second).startup());
}

TEST_F(LaunchTest, EntryPointRunsAnAccessoryApplication) {
    EXPECT_EQ(runApplication(fake.platform), 0);
    EXPECT_EQ(fake.application.policy, platform::ActivationPolicy::Accessory);
    EXPECT_TRUE(fake.application.ranWithDelegate);  // kept alive by the entry point, not the app
    EXPECT_TRUE(fake.application.delegate.expired());  // and let go once the loop has ended
    EXPECT_EQ(fake.statusBar.items.size(), 1u);
}

}  // namespace
}  // namespace nubrio::testing
