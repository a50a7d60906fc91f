#pragma once
// The fake backend: virtual time, a main queue run by hand, scripted answers and a record of calls.
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace nubrio::fake {

using platform::Error;

class FakeQueueAndClock : public platform::MainQueue, public platform::Clock {
public:
    void async(platform::Block block) override { ready_.push_back(std::move(block)); }
    void after(double seconds, platform::Block block) override;
    // Held while `busy` says that an alert is open.
    void asyncWhenIdle(platform::Block block) override { whenIdle_.push_back(std::move(block)); }
    double now() override { return now_; }

    // Runs what is due now, including what those blocks submit.
    void runUntilIdle();
    // Moves virtual time forward, running each timer when it falls due.
    void advance(double seconds);
    // Time passing while the main thread is blocked (usleep): nothing runs.
    void passTime(double seconds) { now_ += seconds; }
    // The user sets the wall clock back.
    void setClockBack(double seconds) { now_ -= seconds; }
    std::size_t pendingTimers() const { return timers_.size(); }
    std::size_t pendingBlocks() const { return ready_.size(); }
    std::size_t pendingIdleBlocks() const { return whenIdle_.size(); }

    std::function<bool()> busy;

private:
    struct Timer {
        double due;
        long order;
        platform::Block block;
    };
    double now_ = 1000.0;
    long nextOrder_ = 0;
    std::deque<platform::Block> ready_;
    std::deque<platform::Block> whenIdle_;
    std::vector<Timer> timers_;
};

class FakeTask;

// How a launched fake worker behaves when it is signalled.
struct TaskBehaviour {
    bool endsOnSigterm = true;
    double secondsToEndAfterSigterm = 0;  // virtual time it takes to go
    bool leftItsGroup = false;            // signals to its group do not reach it
    double secondsToEndAfterSigkill = 0;  // virtual time it takes to go (stuck in the kernel)
};

class FakeTaskFactory : public platform::TaskFactory {
public:
    std::shared_ptr<platform::Task> makeTask() override;

    std::vector<std::shared_ptr<FakeTask>> tasks;  // every task made, in order
    std::deque<Error> launchErrors;                 // next launches fail with these
    TaskBehaviour behaviour;
    int nextPid = 4000;
    FakeQueueAndClock* clock = nullptr;
    // waitUntilExit runs the main queue's pending work once the process has ended, as a platform that
    // spins its run loop while it waits may.
    bool waitRunsQueuedWork = false;
    // When set, a launch whose working folder does not exist fails as a real one does (chdir's ENOENT).
    std::function<bool(const std::filesystem::path&)> folderExists;

    std::shared_ptr<FakeTask> last() const { return tasks.empty() ? nullptr : tasks.back(); }
    std::shared_ptr<FakeTask> byPid(int pid) const;
};

class FakeTask : public platform::Task, public std::enable_shared_from_this<FakeTask> {
public:
    FakeTask(FakeTaskFactory& factory) : factory_(factory) {}

    void setStandardInputNullDevice() override { nullStandardInput = true; }
    void setExecutable(const std::filesystem::path& path) override { executable = path; }
    void setCurrentDirectory(const std::filesystem::path& path) override { directory = path; }
    void setTerminationHandler(TerminationHandler handler) override { handler_ = std::move(handler); }
    std::optional<Error> launch() override;
    bool isRunning() override;
    int processIdentifier() override { return pid; }
    int terminationStatus() override { return status_; }
    platform::TerminationReason terminationReason() override { return reason_; }
    void terminate() override;
    void waitUntilExit() override;

    // The process ends: the platform calls the handler (here at once, as from another thread).
    void end(int status, platform::TerminationReason reason = platform::TerminationReason::Exit);
    void signal(int signalNumber);
    void endAsPending();

    bool nullStandardInput = false;
    std::filesystem::path executable;
    std::filesystem::path directory;
    int pid = 0;
    bool launched = false;
    int terminateCalls = 0;
    int waitCalls = 0;
    std::optional<double> endsAt;  // pending end after a signal, in virtual time
    bool killed = false;           // that pending end is SIGKILL's
    TaskBehaviour behaviour;

private:
    FakeTaskFactory& factory_;
    TerminationHandler handler_;
    bool running_ = false;
    int status_ = 0;
    platform::TerminationReason reason_ = platform::TerminationReason::Exit;
};

class FakeProcess : public platform::ProcessInfo {
public:
    int processIdentifier() override { return pid; }
    std::vector<std::string> arguments() override { return args; }
    void writeStandardError(const std::string& text) override { standardError += text; }
    void exit(int status) override;
    int kill(int pid, int signal) override;
    void usleep(unsigned microseconds) override;

    int pid = 77;
    std::vector<std::string> args = {"/Applications/Nubrio.app/Contents/MacOS/Nubrio"};
    std::string standardError;
    std::optional<int> exitStatus;
    int exitCalls = 0;
    std::vector<std::pair<int, int>> kills;  // (pid, signal)
    int sleeps = 0;
    std::function<void(int pid, int signal)> whileKilling;  // called before the signal is delivered
    FakeTaskFactory* tasks = nullptr;
    FakeQueueAndClock* clock = nullptr;
};

class FakeBundle : public platform::Bundle {
public:
    platform::InfoValue infoValue(const std::string& key) override;
    std::optional<std::filesystem::path> resourcesPath() override { return resources; }
    std::filesystem::path bundlePath() override { return path; }
    bool installedByPackageManager() override { return packaged; }
    platform::ExecutableOnDisk executableOnDisk() override { return executable; }
    void watchForChanges(std::function<void()> changed) override {
        ++watchCalls;
        watcher = std::move(changed);
    }

    // The watcher reports a change, its quiet moment past.
    void reportChange() {
        if (watcher) watcher();
    }
    void setVersion(const std::string& version) {
        info["CFBundleShortVersionString"] = {platform::InfoValue::Kind::String, version};
    }

    std::map<std::string, platform::InfoValue> info = {
        {"CFBundleShortVersionString", {platform::InfoValue::Kind::String, "1.4.2"}}};
    std::optional<std::filesystem::path> resources = "/Applications/Nubrio.app/Contents/Resources";
    std::filesystem::path path = "/Applications/Nubrio.app";
    bool packaged = false;
    platform::ExecutableOnDisk executable = platform::ExecutableOnDisk::Same;
    std::function<void()> watcher;
    int watchCalls = 0;
};

class FakeFileManager : public platform::FileManager {
public:
    std::filesystem::path homeDirectoryForCurrentUser() override { return home; }
    // The reference platform's folder under the home, unless a test gives another.
    std::filesystem::path applicationSupportDirectory() override {
        return applicationSupport.value_or(home / "Library/Application Support");
    }
    std::optional<Error> createDirectory(const std::filesystem::path& path, bool withIntermediates) override;
    std::filesystem::path resolvingSymlinks(const std::filesystem::path& path) override;
    std::optional<Error> trashItem(const std::filesystem::path& path) override;
    std::optional<std::string> readUtf8(const std::filesystem::path& path, std::size_t maxBytes) override;

    // Whether the folder exists: `home` and the folders above it do from the start, others once made.
    bool folderExists(const std::filesystem::path& path) const;

    std::filesystem::path home = "/Users/ana";
    std::optional<std::filesystem::path> applicationSupport;
    std::vector<std::filesystem::path> created;  // every folder asked for and made
    std::set<std::filesystem::path> madeFolders;
    std::map<std::filesystem::path, std::filesystem::path> links;  // a folder that is a link → its target
    std::optional<Error> createError;
    std::vector<std::filesystem::path> trashed;
    std::optional<Error> trashError;
    std::map<std::filesystem::path, std::string> files;  // readable UTF-8 files
    std::vector<std::filesystem::path> reads;
};

class FakeUrlSession : public platform::UrlSession {
public:
    void get(const platform::UrlRequest& request, Completion completion) override;
    std::optional<std::string> unavailableReason() override { return unavailable; }
    // Answers the oldest request in flight (none: refused or timed out).
    void answer(std::optional<std::string> body);
    std::size_t inFlight() const { return pending_.size(); }

    std::vector<platform::UrlRequest> requests;
    std::optional<std::string> unavailable;  // set: the session could not be set up, for this reason

private:
    std::deque<Completion> pending_;
};

class FakeMenuItem : public platform::MenuItem {
public:
    FakeMenuItem(std::string title, std::optional<platform::Action> action, std::string key, bool separator)
        : title_(std::move(title)), action_(std::move(action)), key_(std::move(key)), separator_(separator),
          enabled_(!separator) {}
    bool isSeparator() const override { return separator_; }
    std::string title() const override { return title_; }
    void setTitle(const std::string& title) override { title_ = title; }
    std::string keyEquivalent() const override { return key_; }
    const std::optional<platform::Action>& action() const override { return action_; }
    bool isEnabled() const override { return enabled_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isOn() const override { return on_; }
    void setOn(bool on) override { on_ = on; }

private:
    std::string title_;
    std::optional<platform::Action> action_;
    std::string key_;
    bool separator_;
    bool enabled_;
    bool on_ = false;
};

class FakeMenu : public platform::Menu {
public:
    void addItem(std::shared_ptr<platform::MenuItem> item) override { items_.push_back(std::move(item)); }
    void insertItem(std::shared_ptr<platform::MenuItem> item, int index) override {
        items_.insert(items_.begin() + index, std::move(item));
    }
    std::vector<std::shared_ptr<platform::MenuItem>> items() const override { return items_; }

private:
    std::vector<std::shared_ptr<platform::MenuItem>> items_;
};

class FakeStatusButton : public platform::StatusButton {
public:
    void setImage(const platform::Image& image) override { this->image = image; }
    void setToolTip(const std::string& toolTip) override { this->toolTip = toolTip; }
    std::optional<platform::Image> image;
    std::string toolTip;
};

class FakeStatusItem : public platform::StatusItem {
public:
    platform::StatusButton* button() override { return hasButton ? &button_ : nullptr; }
    void setMenu(std::shared_ptr<platform::Menu> menu) override { this->menu = std::move(menu); }

    bool hasButton = true;
    FakeStatusButton button_;
    std::shared_ptr<platform::Menu> menu;
    double length = 0;
};

class FakeStatusBar : public platform::StatusBar {
public:
    std::shared_ptr<platform::StatusItem> statusItemWithLength(double length) override;
    std::shared_ptr<platform::Menu> makeMenu() override { return std::make_shared<FakeMenu>(); }
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::optional<platform::Action> action,
                                                     const std::string& key) override {
        createdTitles.push_back(title);
        return std::make_shared<FakeMenuItem>(title, std::move(action), key, false);
    }
    std::shared_ptr<platform::MenuItem> makeSeparatorItem() override {
        return std::make_shared<FakeMenuItem>("", std::nullopt, "", true);
    }

    bool itemsHaveButtons = true;
    std::vector<std::shared_ptr<FakeStatusItem>> items;
    std::vector<std::string> createdTitles;
};

class FakeAlerts : public platform::Alerts {
public:
    int runModal(const platform::Alert& alert) override;

    std::vector<platform::Alert> shown;
    // The user dismisses the alert (Escape, its close button): the result of its dismiss button.
    static constexpr int Dismiss = -1;
    std::deque<int> results;  // scripted, or Dismiss; 1000 when empty
    std::function<void(const platform::Alert&)> whileShown;
    int open = 0;  // alerts being shown
};

struct OpenedApplication {
    platform::ApplicationRef application;
    platform::OpenConfiguration configuration;
};

class FakeWorkspace : public platform::Workspace {
public:
    std::vector<int> runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) override;
    std::optional<platform::ApplicationRef> urlForApplicationToOpenUrl(const std::string& url) override;
    std::optional<std::string> bundleIdentifierOfApplication(const platform::ApplicationRef& application) override;
    std::optional<platform::ApplicationRef> urlForApplicationWithBundleIdentifier(const std::string& id) override;
    void openApplication(const platform::ApplicationRef& application, const platform::OpenConfiguration& configuration,
                         OpenCompletion completion) override;
    void openUrlsWithApplication(const std::vector<std::string>& urls, const platform::ApplicationRef& application,
                                 const platform::OpenConfiguration& configuration) override;
    bool openUrl(const std::string& url) override;
    bool openFolder(const std::filesystem::path& folder) override;

    // Installs a browser under a desktop ID with a bundle identifier.
    void install(const std::string& bundleIdentifier, const std::string& desktopId);

    std::vector<int> running;  // pids listed for our bundle identifier (this process is added by the test)
    std::vector<std::string> runningQueries;
    std::optional<platform::ApplicationRef> defaultBrowser;
    std::vector<std::string> defaultBrowserQueries;
    std::map<std::string, std::string> identifiers;  // desktop id → bundle identifier
    std::map<std::string, platform::ApplicationRef> installed;
    std::vector<OpenedApplication> opened;
    std::vector<std::pair<std::vector<std::string>, OpenedApplication>> openedUrls;
    std::vector<std::string> openedPages;
    std::vector<std::filesystem::path> openedFolders;
};

class FakeLoginItems : public platform::LoginItemService {
public:
    platform::LoginItemStatus status() override {
        ++statusReads;
        return current;
    }
    std::optional<Error> registerApp() override;
    std::optional<Error> unregisterApp() override;
    void openSystemSettingsLoginItems() override { ++settingsOpened; }

    platform::LoginItemStatus current = platform::LoginItemStatus::NotRegistered;
    platform::LoginItemStatus afterRegister = platform::LoginItemStatus::Enabled;
    std::optional<Error> registerError, unregisterError;
    std::vector<std::string> calls;
    int statusReads = 0;
    int settingsOpened = 0;
};

// A desktop screen of 1920 × 1080 with a panel at the bottom unless a test says otherwise.
class FakeScreen : public platform::Screen {
public:
    std::optional<platform::ScreenArea> visibleFrame() override {
        ++reads;
        return visible;
    }
    std::optional<platform::ScreenArea> visible = platform::ScreenArea{0, 0, 1920, 1040};
    int reads = 0;
};

class FakeApplication : public platform::Application {
public:
    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override { this->delegate = delegate; }
    void setActivationPolicy(platform::ActivationPolicy policy) override { this->policy = policy; }
    void run() override;
    void terminate() override;
    void relaunch(const std::vector<std::string>& arguments) override;

    std::weak_ptr<platform::ApplicationDelegate> delegate;
    std::optional<platform::ActivationPolicy> policy;
    bool ranWithDelegate = false;
    int terminations = 0;
    std::vector<std::vector<std::string>> relaunches;  // the arguments of each
    std::function<void()> whileTerminating;  // called before the delegate hears of it
};

// The reference platform's words, with which the core's texts are the product's own.
inline platform::Words referenceWords() {
    return {.thisComputer = "esta Mac",
            .loginSystem = "macOS",
            .installPlace = "Aplicaciones",
            .leaveUninstalledCopy = "expulsá el DMG",
            .howToInstall = "arrastrala primero a Aplicaciones",
            .packageManager = "",
            .packageRemoval = "",
            .editorBrowsers = "Chrome o Edge",
            .browserNote = "Safari no permite esta conexión."};
}

// Every fake, wired together.
struct FakePlatform {
    FakePlatform();
    FakeApplication application;
    FakeQueueAndClock queue;
    FakeProcess process;
    FakeBundle bundle;
    FakeFileManager files;
    FakeTaskFactory tasks;
    FakeUrlSession url;
    FakeStatusBar statusBar;
    FakeAlerts alerts;
    FakeWorkspace workspace;
    FakeLoginItems loginItems;
    FakeScreen screen;
    platform::Words words = referenceWords();
    platform::Platform platform;
};

}  // namespace nubrio::fake
