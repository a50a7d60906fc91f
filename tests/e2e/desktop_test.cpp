// The assembled Nubrio.app, started as a user starts it, in a desktop session of its own: the tray
// item and its menu, the editor opened in the (recorded) default browser once the worker is ready,
// later starts and connect links handed to the running copy, quitting through the menu and its
// confirmation, which must take the worker along, and the editor as an app window of the real
// Chromium.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QLibraryInfo>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "browser_recorder.h"
#include "child_process.h"
#include "chromium_browser.h"
#include "desktop_session.h"
#include "support/spin.h"
#include "support/status_notifier_watcher.h"
#include "support/temp_home.h"
#include "support/tray_item.h"
#include "worker_probe.h"
#include "x11_tools.h"

namespace nubrio::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBundle = NUBRIO_BUNDLE_PATH;
// On the sessions' 1280 × 800 screen, with neither panel nor window manager, the window's frame fits in
// its largest size, centred; on a screen that holds it, it asks for 1360 × 880 alone.
const std::vector<std::string> kEditorArguments = {"--app=" NUBRIO_E2E_WEB_ORIGIN "/?app=window#app/crear",
                                                   "--window-size=1264,752", "--window-position=8,24"};
const std::vector<std::string> kLargeScreenEditorArguments = {"--app=" NUBRIO_E2E_WEB_ORIGIN "/?app=window#app/crear",
                                                              "--window-size=1360,880"};
const QString kStatusIdle = QStringLiteral("Nubrio en segundo plano");
const QString kStatusPreparing = QStringLiteral("Preparando la conexión con el editor…");
const QString kStatusReady = QStringLiteral("Lista para conectar · Nubrio en segundo plano");
const QString kToolTip = QStringLiteral("Nubrio · procesamiento en esta computadora");
const QString kQuit = QStringLiteral("Salir de Nubrio…");

// Generous: a loaded CI machine may be slow, and nothing here measures speed.
constexpr auto kStartDeadline = 30s;
constexpr auto kReadyDeadline = 30s;
constexpr auto kExitDeadline = 20s;
constexpr auto kBrowserWindowDeadline = 60s;

struct CommandEntry {
    const char* label;
    bool toggle;  // an on/off entry, shown off
};

// Below the status line and its separator, in this order, all enabled.
const CommandEntry kCommands[] = {
    {"Abrir Nubrio", false},
    {"Ver archivos de esta computadora", false},
    {"Ver registros", false},
    {"Reiniciar procesamiento…", false},
    {"Abrir al iniciar sesión", true},
    {"Acerca de Nubrio", false},
    {"Desinstalar Nubrio…", false},
    {"Salir de Nubrio…", false},
};

// Checks a condition now and then (each check may run a tool) while the event loop turns.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds deadline,
                std::chrono::milliseconds interval = 100ms) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        testing::spinFor(interval);
    }
}

class DesktopSessionTest : public ::testing::Test {
protected:
    virtual bool xembedTray() const { return false; }
    // Whether the StatusNotifierItem watcher runs before the program starts (startWatcher otherwise).
    virtual bool watcherAtStart() const { return true; }
    virtual DesktopSession::Options sessionOptions() const { return {.xembedTray = xembedTray()}; }

    void SetUp() override {
        if (const auto missing = DesktopSession::missingRequirement())
            GTEST_SKIP() << *missing << " is missing: the desktop session needs Xvfb and dbus-daemon "
                         << "(scripts/setup.sh installs them)";
        ASSERT_TRUE(fs::exists(kBundle / "Contents/MacOS/Nubrio")) << "no bundle at " << kBundle;

        std::string pattern = (fs::temp_directory_path() / "nubrio-e2e.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
        home_ = std::make_unique<testing::TempHome>();
        const fs::path runtime = work_ / "runtime";
        fs::create_directory(runtime);
        ::chmod(runtime.c_str(), 0700);
        const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
        savedRuntime_ = savedRuntime ? std::optional<std::string>(savedRuntime) : std::nullopt;
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

        ASSERT_TRUE(eventually(portRefused, 20s))
            << "127.0.0.1:4173 is still held by another process; this test needs the port free";

        try {
            session_ = std::make_unique<DesktopSession>(work_, sessionOptions());
            browser_ = std::make_unique<BrowserRecorder>(home_->dataHome(), home_->configHome(), work_);
        } catch (const std::exception& error) {
            FAIL() << "cannot set up the desktop session: " << error.what();
        }
        x11_ = std::make_unique<X11Tools>(programEnvironment());

        busName_ = QStringLiteral("nubrio-e2e-%1").arg(reinterpret_cast<quintptr>(this));
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(session_->busAddress()), busName_);
        ASSERT_TRUE(bus.isConnected()) << "cannot connect to the private bus: " << bus.lastError().message().toStdString();
        if (!xembedTray() && watcherAtStart()) startWatcher();
    }

    void startWatcher() {
        watcher_ = std::make_unique<StatusNotifierWatcher>(QDBusConnection(busName_));
        const QString error = watcher_->start();
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    }

    void TearDown() override {
        const bool failed = HasFailure();
        if (failed && session_) std::cout << screenshot("at-teardown") << std::endl;
        for (auto program = programs_.rbegin(); program != programs_.rend(); ++program) (*program)->stop(10s);
        if (worker_ && !eventually([&] { return hasEnded(*worker_); }, 10s))
            ADD_FAILURE() << "the worker (pid " << worker_->pid << ") still runs after its program ended; "
                          << "this test leaves it alone, as it did not start it";
        if (failed || HasFailure())
            for (const auto& program : programs_)
                std::cout << "--- " << program->logPath() << " (" << program->state() << ")\n"
                          << program->logText() << std::endl;
        programs_.clear();
        watcher_.reset();
        if (!busName_.isEmpty()) QDBusConnection::disconnectFromBus(busName_);
        x11_.reset();
        session_.reset();
        home_.reset();
        if (savedRuntime_)
            setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        if (work_.empty()) return;
        if (failed || HasFailure()) {
            std::cout << "Logs and screenshots kept in " << work_ << std::endl;
        } else {
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
    }

    // What a user's session gives the program: our display and bus, the temporary home.
    Environment programEnvironment() const {
        Environment environment = currentEnvironment();
        for (const char* name : {"WAYLAND_DISPLAY", "XAUTHORITY", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
                                 "XDG_SESSION_DESKTOP", "DESKTOP_SESSION", "SESSION_MANAGER", "KDE_FULL_SESSION",
                                 "GNOME_DESKTOP_SESSION_ID", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE"})
            environment.erase(name);
        environment["QT_QPA_PLATFORM"] = "xcb";
        session_->addTo(environment);
        return environment;
    }

    ChildProcess& startNubrio(std::vector<std::string> arguments = {}, const Environment& overrides = {}) {
        arguments.insert(arguments.begin(), (kBundle / "Contents/MacOS/Nubrio").string());
        Environment environment = programEnvironment();
        for (const auto& [name, value] : overrides) environment[name] = value;
        const fs::path log = work_ / ("nubrio-" + std::to_string(programs_.size() + 1) + ".log");
        programs_.push_back(std::make_unique<ChildProcess>(ChildProcess::Options{arguments, environment, log}));
        return *programs_.back();
    }

    // The program's tray item, once it has registered with our watcher.
    std::optional<TrayItem> waitForTrayItem(ChildProcess& program) {
        std::optional<TrayItem> found;
        eventually(
            [&] {
                if (!program.running()) return true;
                for (const auto& item : watcher_->items())
                    if (watcher_->ownerPid(item) == static_cast<uint>(program.pid())) {
                        found.emplace(QDBusConnection(busName_), item.service, item.path);
                        return true;
                    }
                return false;
            },
            kStartDeadline);
        return found;
    }

    QString statusLine(const TrayItem& item) {
        const auto menu = item.menu();
        return menu && !menu->empty() ? menu->front().label : QString();
    }

    // The program's modal alert: a dialog window of its process.
    std::optional<unsigned long> waitForAlert(ChildProcess& program) {
        std::optional<unsigned long> found;
        eventually(
            [&] {
                if (!program.running()) return true;
                for (unsigned long window : x11_->visibleWindowsOf(program.pid()))
                    if (x11_->windowTypes(window).find("_NET_WM_WINDOW_TYPE_DIALOG") != std::string::npos) {
                        found = window;
                        return true;
                    }
                return false;
            },
            kStartDeadline);
        return found;
    }

    bool isVisible(ChildProcess& program, unsigned long window) {
        const auto windows = x11_->visibleWindowsOf(program.pid());
        return std::find(windows.begin(), windows.end(), window) != windows.end();
    }

    // Keys typed into the alert. Its first button ("Seguir procesando") is the default and has the
    // focus; Tab moves to the second ("Cerrar Nubrio").
    void answerAlert(ChildProcess& program, unsigned long window, const std::vector<std::string>& keys) {
        ASSERT_TRUE(x11_->focus(window)) << "cannot focus the alert window " << window;
        ASSERT_TRUE(x11_->key(keys)) << "xdotool could not type into the alert";
        EXPECT_TRUE(eventually([&] { return !program.running() || !isVisible(program, window); }, kExitDeadline))
            << "the alert stayed open after the keys; " << screenshot("alert-still-open");
    }

    std::string screenshot(const std::string& name) {
        const fs::path file = work_ / (name + ".png");
        if (!x11_ || !x11_->screenshot(file)) return "no screenshot could be taken";
        return "screenshot: " + file.string();
    }

    // The worker that answers the challenge: it must be the bundle's NubrioService and a child of
    // the program. Remembered, so teardown can tell whether it outlived the program.
    void findWorker(ChildProcess& program) {
        std::string why;
        const auto challenge = readChallenge(&why);
        ASSERT_TRUE(challenge) << "the worker does not answer its challenge: " << why;
        const auto process = snapshot(challenge->pid);
        ASSERT_TRUE(process) << "the challenge names pid " << challenge->pid << ", which does not exist";
        EXPECT_EQ(fs::path(process->executable),
                  fs::canonical(kBundle / "Contents/Resources/service/NubrioService/NubrioService"));
        EXPECT_EQ(process->parent, program.pid()) << "the worker is not the program's child";
        worker_ = *process;
    }

    static void expectEditorLaunches(const BrowserRecorder& browser, std::size_t count) {
        EXPECT_TRUE(eventually([&] { return browser.launches().size() >= count; }, kReadyDeadline))
            << "the browser was not launched: " << describe(browser.launches());
        const auto launches = browser.launches();
        EXPECT_EQ(launches.size(), count) << describe(launches);
        for (const auto& arguments : launches) EXPECT_EQ(arguments, kEditorArguments);
    }

    // After the confirmed quit: the program ended normally and took its worker along.
    void expectQuitWithWorker(ChildProcess& program) {
        ASSERT_TRUE(program.waitForExit(kExitDeadline))
            << "the program still runs after \"Cerrar Nubrio\"; " << screenshot("after-confirm");
        EXPECT_EQ(program.exitCode(), std::optional<int>(0)) << program.state();
        ASSERT_TRUE(worker_);
        EXPECT_TRUE(eventually([&] { return hasEnded(*worker_); }, 10s))
            << "the worker (pid " << worker_->pid << ") outlived the program";
        EXPECT_TRUE(eventually(portRefused, 10s)) << "127.0.0.1:4173 is still held after quitting";
    }

    fs::path work_;
    std::unique_ptr<testing::TempHome> home_;
    std::optional<std::string> savedRuntime_;
    std::unique_ptr<DesktopSession> session_;
    std::unique_ptr<BrowserRecorder> browser_;
    std::unique_ptr<X11Tools> x11_;
    QString busName_;
    std::unique_ptr<StatusNotifierWatcher> watcher_;
    std::vector<std::unique_ptr<ChildProcess>> programs_;
    std::optional<ProcessSnapshot> worker_;
};

// A desktop whose tray speaks StatusNotifierItem (KDE, GNOME with AppIndicator, most panels today).
class StatusNotifierTray : public DesktopSessionTest {
protected:
    // Chooses "Salir de Nubrio…" in the tray menu and waits for its confirmation.
    std::optional<unsigned long> chooseQuit(ChildProcess& program, const TrayItem& item) {
        QString error;
        EXPECT_TRUE(item.click(kQuit, &error)) << error.toStdString();
        const auto alert = waitForAlert(program);
        EXPECT_TRUE(alert) << "no confirmation after \"Salir de Nubrio…\" (" << program.state() << "); "
                           << screenshot("no-quit-alert");
        return alert;
    }
};

// An older tray that embeds icon windows (XEmbed), with no StatusNotifierItem watcher on the bus.
class XEmbedTray : public DesktopSessionTest {
protected:
    bool xembedTray() const override { return true; }
};

TEST_F(StatusNotifierTray, ShowsItsMenuOpensTheEditorWhenReadyAndQuitsWithItsWorker) {
    ChildProcess& nubrio = startNubrio();
    const auto item = waitForTrayItem(nubrio);
    ASSERT_TRUE(item) << "no tray item registered (program " << nubrio.state() << "); " << screenshot("no-tray-item");

    // The icon: painted pixels, not an empty or transparent pixmap.
    std::optional<std::vector<IconPixmap>> pixmaps;
    QString error;
    EXPECT_TRUE(eventually(
        [&] {
            pixmaps = item->iconPixmaps(&error);
            return pixmaps && std::any_of(pixmaps->begin(), pixmaps->end(), [](const auto& p) { return p.painted(); });
        },
        kStartDeadline))
        << "the tray item shows no painted icon (" << (pixmaps ? std::to_string(pixmaps->size()) + " pixmaps" : error.toStdString())
        << ")";
    const auto toolTip = item->toolTip(&error);
    ASSERT_TRUE(toolTip) << error.toStdString();
    EXPECT_EQ(toolTip->title, kToolTip) << "tooltip text: " << toolTip->text.toStdString();

    // The menu, entry by entry.
    const auto menu = item->menu(&error);
    ASSERT_TRUE(menu) << error.toStdString();
    ASSERT_EQ(menu->size(), 2 + std::size(kCommands)) << describe(*menu);
    const MenuEntry& status = menu->at(0);
    EXPECT_FALSE(status.isSeparator());
    EXPECT_TRUE(status.label == kStatusIdle || status.label == kStatusPreparing || status.label == kStatusReady)
        << status.describe();
    EXPECT_FALSE(status.enabled) << "the status line must not be a command";
    EXPECT_TRUE(status.toggleType.isEmpty()) << status.describe();
    EXPECT_TRUE(menu->at(1).isSeparator()) << menu->at(1).describe();
    for (std::size_t index = 0; index < std::size(kCommands); ++index) {
        const CommandEntry& expected = kCommands[index];
        const MenuEntry& entry = menu->at(2 + index);
        SCOPED_TRACE(expected.label);
        EXPECT_EQ(entry.label, QString::fromUtf8(expected.label)) << entry.describe();
        EXPECT_TRUE(entry.enabled) << entry.describe();
        if (expected.toggle) {
            EXPECT_EQ(entry.toggleType, QStringLiteral("checkmark")) << entry.describe();
            EXPECT_EQ(entry.toggleState, 0) << "start at login must be off in a fresh home; " << entry.describe();
        } else {
            EXPECT_TRUE(entry.toggleType.isEmpty()) << entry.describe();
        }
    }
    for (const MenuEntry& entry : *menu) {
        EXPECT_TRUE(entry.visible) << entry.describe();
        EXPECT_EQ(entry.childCount, 0) << entry.describe();
    }

    // Ready: the editor opens in the default browser as an app window, and the status line says so.
    expectEditorLaunches(*browser_, 1);
    EXPECT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline))
        << "status line: \"" << statusLine(*item).toStdString() << "\"";
    findWorker(nubrio);
    ASSERT_TRUE(worker_);

    // The confirmation's default button changes nothing.
    auto alert = chooseQuit(nubrio, *item);
    ASSERT_TRUE(alert);
    answerAlert(nubrio, *alert, {"Return"});
    testing::spinFor(1s);
    ASSERT_TRUE(nubrio.running()) << "the default button of the quit confirmation ended the program ("
                                  << nubrio.state() << ")";
    EXPECT_FALSE(hasEnded(*worker_)) << "declining to quit stopped the worker";
    EXPECT_EQ(statusLine(*item), kStatusReady);

    // Its second button quits, and the worker goes with the program.
    alert = chooseQuit(nubrio, *item);
    ASSERT_TRUE(alert);
    answerAlert(nubrio, *alert, {"Tab", "space"});
    expectQuitWithWorker(nubrio);
    EXPECT_TRUE(eventually([&] { return watcher_->items().empty(); }, 10s)) << "the tray item stayed registered";
    EXPECT_EQ(browser_->launches().size(), 1u) << describe(browser_->launches());
}

TEST_F(StatusNotifierTray, LaterStartsAndConnectLinksLeaveTheEditorToTheRunningCopy) {
    ChildProcess& first = startNubrio();
    const auto item = waitForTrayItem(first);
    ASSERT_TRUE(item) << "no tray item registered (program " << first.state() << "); " << screenshot("no-tray-item");
    expectEditorLaunches(*browser_, 1);
    ASSERT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline));
    findWorker(first);
    ASSERT_TRUE(worker_);

    // Later copies see the same running copy (same runtime folder) but another default browser, so
    // the recording tells which copy opened the editor.
    const fs::path laterHome = work_ / "later-home";
    const BrowserRecorder laterBrowser(laterHome / "data", laterHome / "config", laterHome);
    const Environment laterEnvironment = {{"XDG_DATA_HOME", (laterHome / "data").string()},
                                          {"XDG_CONFIG_HOME", (laterHome / "config").string()}};

    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool runningCopyOpens;  // otherwise the later copy opens the editor itself
    };
    const Case cases[] = {
        {"a second start", {}, false},
        {"a connect link", {"nubrio://connect"}, true},
    };
    std::size_t runningCopyLaunches = 1, laterLaunches = 0;
    for (const Case& later : cases) {
        SCOPED_TRACE(later.name);
        ChildProcess& copy = startNubrio(later.arguments, laterEnvironment);
        ASSERT_TRUE(copy.waitForExit(kExitDeadline)) << "the later copy keeps running; " << screenshot("later-copy");
        EXPECT_EQ(copy.exitCode(), std::optional<int>(0)) << copy.state() << "\n" << copy.logText();
        (later.runningCopyOpens ? runningCopyLaunches : laterLaunches) += 1;
        EXPECT_TRUE(eventually(
            [&] {
                return browser_->launches().size() + laterBrowser.launches().size() >=
                       runningCopyLaunches + laterLaunches;
            },
            kReadyDeadline))
            << "no browser was launched";
        testing::spinFor(1s);  // a launch by the wrong copy would show by now
        expectEditorLaunches(*browser_, runningCopyLaunches);
        expectEditorLaunches(laterBrowser, laterLaunches);

        // The running copy goes on as before: same worker, one tray item, ready.
        EXPECT_TRUE(first.running()) << first.state();
        const auto challenge = readChallenge();
        ASSERT_TRUE(challenge);
        EXPECT_EQ(challenge->pid, worker_->pid) << "the worker was replaced";
        EXPECT_FALSE(hasEnded(*worker_));
        EXPECT_EQ(watcher_->items().size(), 1u) << watcher_->registeredStatusNotifierItems().join(' ').toStdString();
        EXPECT_EQ(statusLine(*item), kStatusReady);
    }

    const auto alert = chooseQuit(first, *item);
    ASSERT_TRUE(alert);
    answerAlert(first, *alert, {"Tab", "space"});
    expectQuitWithWorker(first);
}

TEST_F(StatusNotifierTray, TheLaunchersActionsRunTheMenusCommandsInTheRunningCopy) {
    ChildProcess& nubrio = startNubrio({"--background"});
    const auto item = waitForTrayItem(nubrio);
    ASSERT_TRUE(item) << "no tray item registered (program " << nubrio.state() << ")";
    ASSERT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline));
    findWorker(nubrio);
    ASSERT_TRUE(worker_);
    const int firstWorker = worker_->pid;

    // "Reiniciar procesamiento…" from the launcher: the started copy hands it over and ends at once;
    // the running copy asks, as its menu does, and restarts on "Reiniciar".
    ChildProcess& restart = startNubrio({"--restart"});
    ASSERT_TRUE(restart.waitForExit(kExitDeadline)) << restart.state();
    EXPECT_EQ(restart.exitCode(), std::optional<int>(0)) << restart.logText();
    auto alert = waitForAlert(nubrio);
    ASSERT_TRUE(alert) << "no confirmation for the restart; " << screenshot("no-restart-alert");
    answerAlert(nubrio, *alert, {"Tab", "space"});
    ASSERT_TRUE(eventually([&] { return hasEnded(*worker_); }, kExitDeadline)) << "the worker was not restarted";
    ASSERT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline));
    findWorker(nubrio);
    ASSERT_TRUE(worker_);
    EXPECT_NE(worker_->pid, firstWorker);

    // "Salir de Nubrio…" from the launcher: asked, then quit with the worker.
    ChildProcess& quit = startNubrio({"--quit"});
    ASSERT_TRUE(quit.waitForExit(kExitDeadline)) << quit.state();
    EXPECT_EQ(quit.exitCode(), std::optional<int>(0)) << quit.logText();
    alert = waitForAlert(nubrio);
    ASSERT_TRUE(alert) << "no confirmation for quitting; " << screenshot("no-quit-alert");
    answerAlert(nubrio, *alert, {"Tab", "space"});
    expectQuitWithWorker(nubrio);

    // With no copy running, "Salir de Nubrio…" has nothing to quit: it starts nothing.
    ChildProcess& alone = startNubrio({"--quit"});
    ASSERT_TRUE(alone.waitForExit(kExitDeadline)) << alone.state();
    EXPECT_EQ(alone.exitCode(), std::optional<int>(0)) << alone.logText();
    EXPECT_TRUE(portRefused()) << "an action started a worker";
    EXPECT_TRUE(watcher_->items().empty());
}

// With no copy running, a launcher's action starts Nubrio for that action: the action runs (here the
// about box), the worker comes up, and no editor opens on its own.
TEST_F(StatusNotifierTray, ALaunchersActionWithNoCopyRunningStartsNubrioWithoutTheEditor) {
    ChildProcess& nubrio = startNubrio({"--about"});
    const auto about = waitForAlert(nubrio);
    ASSERT_TRUE(about) << "the about box did not show (program " << nubrio.state() << "); " << screenshot("no-about");
    answerAlert(nubrio, *about, {"Escape"});
    const auto item = waitForTrayItem(nubrio);
    ASSERT_TRUE(item) << "no tray item registered (program " << nubrio.state() << ")";
    ASSERT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline))
        << "status line: \"" << statusLine(*item).toStdString() << "\"";
    testing::spinFor(2s);  // an editor asked for at the start opens as the worker becomes ready
    EXPECT_TRUE(browser_->launches().empty()) << "an editor opened: " << describe(browser_->launches());

    // The browser is there: the menu's own command opens the editor at once.
    QString error;
    ASSERT_TRUE(item->click(QStringLiteral("Abrir Nubrio"), &error)) << error.toStdString();
    expectEditorLaunches(*browser_, 1);
    findWorker(nubrio);
    const auto quit = chooseQuit(nubrio, *item);
    ASSERT_TRUE(quit);
    answerAlert(nubrio, *quit, {"Tab", "space"});
    expectQuitWithWorker(nubrio);
}

TEST_F(StatusNotifierTray, ClosingTheBrowserAlertWithEscapeOpensNothing) {
    // No browser of the editor's at all; the default for web pages is a recorder of another name,
    // which the alert's "Descargar Chrome" would open.
    fs::remove(home_->dataHome() / "applications/google-chrome.desktop");
    const fs::path otherWork = work_ / "other-browser";
    const BrowserRecorder other(home_->dataHome(), home_->configHome(), otherWork, "otro-navegador.desktop");

    ChildProcess& nubrio = startNubrio();  // with the editor request: the alert comes once ready
    auto alert = waitForAlert(nubrio);
    ASSERT_TRUE(alert) << "no browser alert (" << nubrio.state() << "); " << screenshot("no-browser-alert");
    answerAlert(nubrio, *alert, {"Escape"});
    testing::spinFor(2s);  // a download page opened by the dismissal would show by now
    EXPECT_TRUE(other.launches().empty()) << describe(other.launches());
    EXPECT_TRUE(nubrio.running());

    // The same alert's default button does open the download page: the recording works.
    const auto item = waitForTrayItem(nubrio);
    ASSERT_TRUE(item);
    QString error;
    ASSERT_TRUE(item->click(QStringLiteral("Abrir Nubrio"), &error)) << error.toStdString();
    alert = waitForAlert(nubrio);
    ASSERT_TRUE(alert) << screenshot("no-second-alert");
    answerAlert(nubrio, *alert, {"Return"});
    EXPECT_TRUE(eventually([&] { return other.launches().size() == 1; }, kReadyDeadline)) << describe(other.launches());
    findWorker(nubrio);
}

// A Wayland desktop (Weston, headless), where Qt can show the item only as a StatusNotifierItem, with
// a tray that starts after the program, as a panel may at log-in.
class LateTrayOnWayland : public DesktopSessionTest {
protected:
    bool watcherAtStart() const override { return false; }

    void SetUp() override {
        DesktopSessionTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const fs::path plugin = fs::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) /
                                "platforms/libqwayland-generic.so";
        if (!fs::exists(plugin) || !fs::exists("/usr/bin/weston"))
            GTEST_SKIP() << "Weston or Qt's Wayland plugin is missing (scripts/setup.sh installs weston and qt6-wayland)";
        Environment environment = programEnvironment();
        const fs::path log = work_ / "weston.log";
        programs_.push_back(std::make_unique<ChildProcess>(ChildProcess::Options{
            {"weston", "--backend=headless-backend.so", "--use-pixman", "--socket=" + socketName(), "--idle-time=0"},
            environment, log}));
        const fs::path socket = fs::path(environment["XDG_RUNTIME_DIR"]) / socketName();
        ASSERT_TRUE(eventually([&] { return fs::exists(socket); }, kStartDeadline)) << programs_.back()->logText();
    }

    static std::string socketName() { return "wayland-nubrio-e2e"; }

    // As on a Wayland desktop: the compositor, and no X display.
    Environment waylandOverrides() const {
        return {{"WAYLAND_DISPLAY", socketName()}, {"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ""}};
    }
};

TEST_F(LateTrayOnWayland, TheItemAppearsOnceTheTrayDoes) {
    ChildProcess& nubrio = startNubrio({"--background"}, waylandOverrides());
    ASSERT_TRUE(eventually([] { return readChallenge().has_value(); }, kReadyDeadline)) << nubrio.state();
    testing::spinFor(1s);
    ASSERT_TRUE(nubrio.running()) << nubrio.state() << "\n" << nubrio.logText();

    startWatcher();
    const auto item = waitForTrayItem(nubrio);
    ASSERT_TRUE(item) << "no tray item after the tray started (program " << nubrio.state() << ")";
    EXPECT_TRUE(eventually([&] { return statusLine(*item) == kStatusReady; }, kReadyDeadline))
        << statusLine(*item).toStdString();
    findWorker(nubrio);
}

TEST_F(XEmbedTray, ShowsTheIconInTheTrayAndQuitsFromItsMenu) {
    ChildProcess& nubrio = startNubrio();

    // The icon: a window of the program, embedded in the tray (not a top-level window), painted.
    const unsigned long root = x11_->root();
    std::optional<unsigned long> icon;
    eventually(
        [&] {
            if (!nubrio.running()) return true;
            for (unsigned long window : x11_->visibleWindowsOfClass("^Nubrio$")) {
                const auto parent = x11_->parent(window);
                if (parent && *parent != root) {
                    icon = window;
                    return true;
                }
            }
            return false;
        },
        kStartDeadline);
    ASSERT_TRUE(icon) << "no icon window of class Nubrio in the tray (program " << nubrio.state() << "); "
                      << screenshot("no-tray-icon");
    const auto geometry = x11_->geometry(*icon);
    ASSERT_TRUE(geometry);
    EXPECT_GT(geometry->width, 0);
    EXPECT_GT(geometry->height, 0);
    std::optional<int> colours;
    EXPECT_TRUE(eventually(
        [&] {
            colours = x11_->distinctColours(*icon, work_ / "icon.png");
            return colours && *colours > 1;
        },
        10s))
        << "the tray icon is blank (" << (colours ? std::to_string(*colours) : "?") << " colours); "
        << screenshot("blank-icon");

    expectEditorLaunches(*browser_, 1);
    findWorker(nubrio);
    ASSERT_TRUE(worker_);

    // The menu opens on the icon (a new top-level window of the program); its last entry is
    // "Salir de Nubrio…".
    ASSERT_TRUE(x11_->click(geometry->x + geometry->width / 2, geometry->y + geometry->height / 2, 3));
    std::optional<unsigned long> popup;
    eventually(
        [&] {
            for (unsigned long window : x11_->visibleWindowsOf(nubrio.pid()))
                if (window != *icon && x11_->parent(window) == root) {
                    popup = window;
                    return true;
                }
            return false;
        },
        10s);
    ASSERT_TRUE(popup) << "no menu after a click on the tray icon; " << screenshot("no-menu");
    ASSERT_TRUE(x11_->key({"Up", "Return"}));

    const auto alert = waitForAlert(nubrio);
    ASSERT_TRUE(alert) << "no confirmation after \"Salir de Nubrio…\" (" << nubrio.state() << "); "
                       << screenshot("no-quit-alert");
    answerAlert(nubrio, *alert, {"Tab", "space"});
    expectQuitWithWorker(nubrio);
}

// Chromium as Debian, Fedora and Ubuntu ship it, the default browser, with Chrome (recorded) installed
// too. The screen has room for the editor's window, so nothing clamps its size.
class ChromiumAsDefault : public StatusNotifierTray {
protected:
    DesktopSession::Options sessionOptions() const override {
        DesktopSession::Options options = StatusNotifierTray::sessionOptions();
        options.screen = "1600x1000";
        return options;
    }

    void SetUp() override {
        if (!ChromiumBrowser::installed())
            GTEST_SKIP() << ChromiumBrowser::Program << " is missing (scripts/setup.sh installs chromium)";
        StatusNotifierTray::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        try {
            // Its mimeapps.list takes the place of the recorded Chrome's.
            chromium_ = std::make_unique<ChromiumBrowser>(home_->dataHome(), home_->configHome(), work_);
        } catch (const std::exception& error) {
            FAIL() << "cannot set up Chromium: " << error.what();
        }
    }

    void TearDown() override {
        if (chromium_) {
            EXPECT_TRUE(chromium_->stop(10s)) << "Chromium's processes outlived SIGKILL";
            chromium_.reset();
        }
        StatusNotifierTray::TearDown();
    }

    std::unique_ptr<ChromiumBrowser> chromium_;
};

TEST_F(ChromiumAsDefault, OpensTheEditorInAnAppWindowOfTheAskedSize) {
    ChildProcess& nubrio = startNubrio();
    ASSERT_TRUE(eventually([&] { return !chromium_->launches().empty(); }, kStartDeadline + kReadyDeadline))
        << "Chromium was not launched (program " << nubrio.state() << "); the recorded Chrome got "
        << describe(browser_->launches());
    const ChromiumBrowser::Launch launch = chromium_->launches().front();
    EXPECT_EQ(launch.arguments, kLargeScreenEditorArguments);

    std::optional<unsigned long> window;
    eventually(
        [&] {
            const auto windows = x11_->visibleWindowsOf(launch.pid);
            if (!windows.empty()) window = windows.front();
            return window.has_value();
        },
        kBrowserWindowDeadline);
    ASSERT_TRUE(window) << "Chromium (pid " << launch.pid << ") showed no window; " << screenshot("no-chromium-window");
    RecordProperty("chromium_window_shown_ms",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now() - launch.at)
                                        .count()));

    // A tabbed window has the role "browser" and the class "chromium (<profile>)"; an app window is a
    // "pop-up" named after the host of its page.
    const std::string host = QUrl(QStringLiteral(NUBRIO_E2E_WEB_ORIGIN)).host().toStdString();
    EXPECT_EQ(x11_->textProperty(*window, "WM_WINDOW_ROLE"), std::vector<std::string>{"pop-up"})
        << screenshot("chromium-window");
    EXPECT_EQ(x11_->textProperty(*window, "WM_CLASS"), (std::vector<std::string>{host, "Chromium"}));

    // No window manager: the top-level window is the client area, here exactly the size asked for.
    std::optional<WindowGeometry> geometry;
    EXPECT_TRUE(eventually(
        [&] {
            geometry = x11_->geometry(*window);
            return geometry && geometry->width == 1360 && geometry->height == 880;
        },
        10s))
        << "Chromium's window is "
        << (geometry ? std::to_string(geometry->width) + "x" + std::to_string(geometry->height) : "gone") << "; "
        << screenshot("chromium-size");

    EXPECT_EQ(x11_->visibleWindowsOf(launch.pid).size(), 1u);
    EXPECT_EQ(chromium_->launches().size(), 1u);
    EXPECT_TRUE(browser_->launches().empty()) << "Chrome was launched too: " << describe(browser_->launches());
}

}  // namespace
}  // namespace nubrio::e2e
