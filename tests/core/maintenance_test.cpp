#include "harness.h"

namespace nubrio::testing {
namespace {

using platform::LoginItemStatus;

class MaintenanceTest : public CoreTest {};

TEST_F(MaintenanceTest, FoldersOpenAndLogsAreCreatedWithTheirParents) {
    make();
    nubrio->openFiles();
    EXPECT_TRUE(fake.files.created.empty());
    nubrio->openLogs();
    const std::filesystem::path home = "/Users/ana/Library/Application Support/Nubrio";
    EXPECT_EQ(fake.files.created, std::vector<std::filesystem::path>{home / "logs"});
    EXPECT_TRUE(fake.files.folderExists(home / "logs")) << "home did not exist yet: it is made on the way";
    EXPECT_EQ(fake.workspace.openedFolders, (std::vector<std::filesystem::path>{home, home / "logs"}));

    fake.files.createError = platform::Error{"POSIX", 30, "Sistema de ficheros de sólo lectura"};
    nubrio->openLogs();
    EXPECT_EQ(fake.workspace.openedFolders.size(), 3u);  // opened whatever the creation gave
    EXPECT_TRUE(fake.alerts.shown.empty());
}

TEST_F(MaintenanceTest, AboutShowsTheVersionAfterOneSpace) {
    for (auto [version, title] : {std::pair{"1.4.2", "Nubrio 1.4.2"}, std::pair{"", "Nubrio "}}) {
        fake::FakePlatform local;
        local.bundle.info["CFBundleShortVersionString"] = {platform::InfoValue::Kind::String, version};
        Nubrio(local.platform).about();
        ASSERT_EQ(local.alerts.shown.size(), 1u);
        EXPECT_EQ(local.alerts.shown[0].messageText, title);
        EXPECT_EQ(local.alerts.shown[0].informativeText,
                  "Procesa en esta Mac y guarda tus archivos por cuenta. Se abre en su propia ventana; tu cuenta y "
                  "tus planes están en nubrio.app.");
        EXPECT_TRUE(local.alerts.shown[0].buttons.empty());
    }
}

TEST_F(MaintenanceTest, ToggleLoginFromEachStatus) {
    struct Case {
        LoginItemStatus before;
        LoginItemStatus afterRegister;
        bool fails;
        std::string call;
        bool checkOn;  // the check mark afterwards (it starts the opposite of the failure case)
        int settingsOpened;
    };
    const Case cases[] = {
        {LoginItemStatus::NotRegistered, LoginItemStatus::Enabled, false, "register", true, 0},
        {LoginItemStatus::Enabled, LoginItemStatus::Enabled, false, "unregister", false, 0},
        {LoginItemStatus::RequiresApproval, LoginItemStatus::RequiresApproval, false, "register", false, 1},
        {LoginItemStatus::NotFound, LoginItemStatus::Enabled, false, "register", true, 0},
        {LoginItemStatus::NotRegistered, LoginItemStatus::Enabled, true, "register", false, 0},
        {LoginItemStatus::Enabled, LoginItemStatus::Enabled, true, "unregister", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.before) * 10 + c.fails);
        fake::FakePlatform local;
        local.loginItems.current = c.before;
        local.loginItems.afterRegister = c.afterRegister;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        if (c.fails) {
            local.loginItems.registerError = local.loginItems.unregisterError =
                platform::Error{"POSIX", 30, "Sistema de ficheros de sólo lectura"};
        }
        delegate->toggleLogin();
        EXPECT_EQ(local.loginItems.calls, std::vector<std::string>{c.call});
        EXPECT_EQ(NubrioInspector(*delegate).login()->isOn(), c.checkOn);
        EXPECT_EQ(local.loginItems.settingsOpened, c.settingsOpened);
        if (c.fails) {
            ASSERT_EQ(local.alerts.shown.size(), 1u);
            EXPECT_EQ(local.alerts.shown[0].messageText, "No se pudo cambiar el inicio con macOS");
            EXPECT_EQ(local.alerts.shown[0].informativeText, "Sistema de ficheros de sólo lectura");
        } else {
            EXPECT_TRUE(local.alerts.shown.empty());
        }
    }
}

class UninstallTest : public CoreTest {
protected:
    void SetUp() override {
        fake.files.home = "/home/ana";
        fake.alerts.results = {1001};
    }
};

TEST_F(UninstallTest, OnlyADirectChildOfAnApplicationsFolderCountsAsInstalled) {
    const std::pair<const char*, bool> cases[] = {
        {"/Applications/Nubrio.app", true},
        {"/home/ana/Applications/Nubrio.app", true},
        {"/home/ana/Applications/./Nubrio.app/", true},
        {"/home/ana/Downloads/../Applications/Nubrio.app", true},
        {"/Applications/Utilities/Nubrio.app", false},
        {"/home/ana/Downloads/Nubrio.app", false},
        {"/media/ana/Nubrio/Nubrio.app", false},
        {"/home/ana/Applications", false},
        {"/home/ana/applications/Nubrio.app", false},
    };
    for (auto [path, installed] : cases) {
        SCOPED_TRACE(path);
        fake::FakePlatform local;
        local.files.home = "/home/ana";
        local.bundle.path = path;
        local.alerts.results = {1001};
        Nubrio(local.platform).uninstall();
        ASSERT_FALSE(local.alerts.shown.empty());
        if (installed) {
            EXPECT_EQ(local.alerts.shown[0].messageText, "¿Desinstalar Nubrio?");
            EXPECT_EQ(local.files.trashed.size(), 1u);
            EXPECT_EQ(local.application.terminations, 1);
        } else {
            EXPECT_EQ(local.alerts.shown.size(), 1u);
            EXPECT_EQ(local.alerts.shown[0].messageText, "Nubrio todavía no está instalado en Aplicaciones");
            EXPECT_EQ(local.alerts.shown[0].informativeText,
                      "Cerrá la app y expulsá el DMG. Para instalarla, arrastrala primero a Aplicaciones.");
            EXPECT_TRUE(local.files.trashed.empty());
            EXPECT_TRUE(local.loginItems.calls.empty());
        }
    }
}

TEST_F(UninstallTest, LinkedHomeOrApplicationsFolderStillCountsAsInstalled) {
    // The system names the running bundle with its links resolved.
    struct Case {
        const char* name;
        std::map<std::filesystem::path, std::filesystem::path> links;
        const char* bundle;
        bool installed;
    };
    const Case cases[] = {
        {"home is a link", {{"/home/ana", "/data/ana"}}, "/data/ana/Applications/Nubrio.app", true},
        {"Applications is a link", {{"/home/ana/Applications", "/srv/apps"}}, "/srv/apps/Nubrio.app", true},
        {"a link does not make a sub-folder count", {{"/home/ana", "/data/ana"}},
         "/data/ana/Applications/Utilities/Nubrio.app", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakePlatform local;
        local.files.home = "/home/ana";
        local.files.links = c.links;
        local.bundle.path = c.bundle;
        local.alerts.results = {1001};
        Nubrio(local.platform).uninstall();
        EXPECT_EQ(local.files.trashed.size(), c.installed ? 1u : 0u);
    }
}

TEST_F(UninstallTest, ConfirmedUninstallRemovesTheLoginItemTrashesTheStandardizedBundleAndQuits) {
    fake.bundle.path = "/home/ana/Applications/x/../Nubrio.app";
    fake.loginItems.current = LoginItemStatus::Enabled;
    launch();
    auto task = worker();
    nubrio->uninstall();
    const auto& confirm = fake.alerts.shown.at(0);
    EXPECT_EQ(confirm.informativeText,
              "Se cerrará el procesamiento y la aplicación irá a la Papelera. Tus videos, clips y modelos guardados "
              "se conservan.");
    EXPECT_EQ(confirm.buttons, (std::vector<std::string>{"Conservar aplicación", "Desinstalar"}));
    EXPECT_EQ(fake.loginItems.calls, std::vector<std::string>{"unregister"});
    EXPECT_EQ(fake.files.trashed, std::vector<std::filesystem::path>{"/home/ana/Applications/Nubrio.app"});
    EXPECT_EQ(fake.application.terminations, 1);
    EXPECT_FALSE(task->isRunning());  // stopped on the way out, after the move
    EXPECT_EQ(fake.alerts.shown.size(), 1u);
}

TEST_F(UninstallTest, KeepingChangesNothing) {
    fake.bundle.path = "/Applications/Nubrio.app";
    fake.loginItems.current = LoginItemStatus::Enabled;
    fake.alerts.results = {1000};
    make()->uninstall();
    EXPECT_TRUE(fake.loginItems.calls.empty());
    EXPECT_TRUE(fake.files.trashed.empty());
    EXPECT_EQ(fake.application.terminations, 0);
}

TEST_F(UninstallTest, LoginItemAwaitingApprovalIsKept) {
    fake.bundle.path = "/Applications/Nubrio.app";
    fake.loginItems.current = LoginItemStatus::RequiresApproval;
    make()->uninstall();
    EXPECT_TRUE(fake.loginItems.calls.empty());
    EXPECT_EQ(fake.files.trashed.size(), 1u);
}

TEST_F(UninstallTest, FailuresAlertAndKeepTheProgramRunning) {
    struct Case {
        bool unregisterFails;
        std::size_t trashed;
    };
    for (Case c : {Case{true, 0}, Case{false, 0}}) {
        fake::FakePlatform local;
        local.bundle.path = "/Applications/Nubrio.app";
        local.loginItems.current = LoginItemStatus::Enabled;
        local.alerts.results = {1001};
        const platform::Error error{"GIO", 14, "No se puede mover a la papelera"};
        if (c.unregisterFails)
            local.loginItems.unregisterError = error;
        else
            local.files.trashError = error;
        auto delegate = std::make_shared<Nubrio>(local.platform);
        delegate->applicationDidFinishLaunching();
        delegate->uninstall();
        ASSERT_EQ(local.alerts.shown.size(), 2u);
        EXPECT_EQ(local.alerts.shown[1].messageText, "No se pudo desinstalar Nubrio");
        EXPECT_EQ(local.alerts.shown[1].informativeText, "No se puede mover a la papelera");
        EXPECT_EQ(local.files.trashed.size(), c.trashed);
        EXPECT_EQ(local.application.terminations, 0);
        EXPECT_TRUE(local.tasks.last()->isRunning());
        // A removed login item stays removed, and the check mark says so.
        EXPECT_EQ(local.loginItems.current,
                  c.unregisterFails ? LoginItemStatus::Enabled : LoginItemStatus::NotRegistered);
        EXPECT_EQ(NubrioInspector(*delegate).login()->isOn(), c.unregisterFails);
    }
}

}  // namespace
}  // namespace nubrio::testing
