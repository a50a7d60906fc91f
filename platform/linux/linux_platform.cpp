#include "platform/linux/linux_platform.h"

#include <QGuiApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

#include "app/build_config.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/process/exec_in_place.h"
#include "platform/linux/shell/words.h"

namespace nubrio::linux_platform {

LinuxPlatform::LinuxPlatform(int argc, char** argv, std::unique_ptr<LinuxBundle> bundle,
                             std::unique_ptr<InstanceRegistry> registry, const StopSequence& stop,
                             LinuxStatusBar::Tray tray)
    : bundle_(std::move(bundle)),
      registry_(std::move(registry)),
      requests_([this] { return application_.isTerminating(); }),
      mainQueue_(&requests_),
      process_(argc, argv, liveTasks_),
      tasks_(liveTasks_, stop),
      urlSession_({bundle_->bundlePath() / config::NetworkModule, bundle_->bundlePath() / config::LoadTrial,
                   bundle_->owner()}),
      statusBar_(&requests_, tray),
      alerts_([this] { return application_.isTerminating(); }, &requests_),
      workspace_([registry = registry_.get()] { return registry->runningPids(); }),
      loginItems_(bundle_->executablePath()),
      linkLimit_("link hand-overs",
                 [this] { submitLinks(std::exchange(waitingLinks_, {})); }),
      folderLimit_("folder commands handed over",
                   [this] {
                       for (const launcher::DesktopAction* action : std::exchange(waitingFolderCommands_, {}))
                           runAction(*action);
                   }),
      platform_{application_, mainQueue_, clock_,      process_,  *bundle_,   fileManager_,
                tasks_,       urlSession_, statusBar_, alerts_,   workspace_, loginItems_, screen_, linuxWords()} {
    registry_->setHandOverHandler([this](const handover::Message& message) { return handOverArrived(message); });
    application_.setTerminationCleanup([this] { terminationCleanup(); });
    application_.setRelaunchHandler([this](const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& links) { relaunchInPlace(arguments, links); });
    // The network module loads beside the worker's start, after the tray icon, so that the first
    // request rarely waits for it.
    application_.setLaunchStart([this] { urlSession_.startLoading(); });
    loginItems_.setChangeHandler([this] { loginStateToTell(); });
}

bool LinuxPlatform::handOverArrived(const handover::Message& message) {
    if (application_.isTerminating()) return false;
    if (!message.links.empty()) return linksArrived(message.links);
    // A launcher's desktop action: the menu's own command, its confirmation included.
    const launcher::DesktopAction* action = launcher::actionNamed(message.command);
    if (!action) return false;
    // Before the launch (the tray icon goes first) there is no menu yet: the action waits for it.
    if (!application_.hasLaunched()) {
        application_.afterLaunch([this, action] { runAction(*action); });
        return true;
    }
    // The others ask first, one alert at a time.
    const std::string_view selector = action->selector;
    if (selector == "openFiles" || selector == "openLogs") return folderCommandArrived(*action);
    return runAction(*action);
}

// The same links again while they wait (or while their alert is open) are one request.
static std::string linksKey(const std::vector<std::string>& links) {
    std::string key = "links";
    for (const std::string& link : links) key += "\n" + link;
    return key;
}

bool LinuxPlatform::submitLinks(const std::vector<std::string>& links) {
    return requests_.submit(linksKey(links), [this, links] { application_.openUrlsNow(links); }, links);
}

bool LinuxPlatform::linksArrived(const std::vector<std::string>& links) {
    switch (linkLimit_.offer(linksKey(links))) {
        case BurstLimit::Verdict::Now: return submitLinks(links);
        case BurstLimit::Verdict::Joined: return true;
        case BurstLimit::Verdict::Coalesced:
            // One request for all of them: the core acts once on its connect links.
            for (const std::string& link : links)
                if (waitingLinks_.size() < handover::kMaxLinks &&
                    std::find(waitingLinks_.begin(), waitingLinks_.end(), link) == waitingLinks_.end())
                    waitingLinks_.push_back(link);
            return true;
    }
    return true;
}

bool LinuxPlatform::folderCommandArrived(const launcher::DesktopAction& action) {
    switch (folderLimit_.offer(action.id)) {
        case BurstLimit::Verdict::Now: return runAction(action);
        case BurstLimit::Verdict::Joined: return true;
        case BurstLimit::Verdict::Coalesced:
            if (std::find(waitingFolderCommands_.begin(), waitingFolderCommands_.end(), &action) ==
                waitingFolderCommands_.end())
                waitingFolderCommands_.push_back(&action);
            return true;
    }
    return true;
}

LinuxPlatform::Limited::Limited(std::string what, std::function<void()> runWaiting)
    : what_(std::move(what)), runWaiting_(std::move(runWaiting)), release_(std::make_unique<QTimer>()),
      quiet_(std::make_unique<QTimer>()) {
    release_->setSingleShot(true);
    quiet_->setSingleShot(true);
    QObject::connect(release_.get(), &QTimer::timeout, [this] {
        if (limit_.release(std::chrono::steady_clock::now())) runWaiting_();
        arm();
    });
    QObject::connect(quiet_.get(), &QTimer::timeout, [this] {
        if (std::optional<std::string> line = limit_.endBurst(std::chrono::steady_clock::now(), what_))
            program_log::write(*line);
        arm();
    });
}

LinuxPlatform::Limited::~Limited() = default;

BurstLimit::Verdict LinuxPlatform::Limited::offer(const std::string& key) {
    const BurstLimit::Verdict verdict = limit_.offer(key, std::chrono::steady_clock::now());
    arm();
    return verdict;
}

void LinuxPlatform::Limited::arm() {
    const auto now = std::chrono::steady_clock::now();
    const auto in = [now](BurstLimit::TimePoint at) {
        return static_cast<int>(std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(at - now).count()));
    };
    if (const auto at = limit_.releaseAt()) release_->start(in(*at));
    if (const auto at = limit_.quietAt()) quiet_->start(in(*at));
}

bool LinuxPlatform::runAction(const launcher::DesktopAction& action) {
    if (action.login != launcher::LoginChange::None) {
        const bool on = loginItems_.status() == platform::LoginItemStatus::Enabled;
        // Already so: nothing changes, and the user still learns the state.
        if (on == (action.login == launcher::LoginChange::TurnOn)) {
            loginStateToTell();
            return true;
        }
    }
    return statusBar_.performMenuCommand(action.selector);
}

void LinuxPlatform::showStatusItemFirst(const platform::Image& image) {
    application_.holdLaunch();
    statusBar_.showFirstItem(image, [this] { application_.releaseLaunch(); });
}

void LinuxPlatform::runAfterLaunch(const launcher::DesktopAction& action) {
    // Starting is what a restart asks for when nothing ran.
    if (std::string_view(action.selector) == "restart") return;
    application_.afterLaunch([this, &action] { runAction(action); });
}

void LinuxPlatform::loginStateToTell() {
    if (statusBar_.shownInTray() || QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    loginNotice_.tell(loginItems_.status() == platform::LoginItemStatus::Enabled);
}

void LinuxPlatform::relaunchInPlace(const std::vector<std::string>& arguments, const std::vector<std::string>& links) {
    mainQueue_.close();
    std::vector<std::string> command = relaunchCommand_;
    if (command.empty()) command.push_back(bundle_->executablePath().string());
    command.insert(command.end(), arguments.begin(), arguments.end());
    // The links of hand-overs still waiting their turn go along too, and those being handed over
    // right now; each once.
    std::vector<std::string> all = links;
    const std::vector<std::string> waiting = requests_.waitingLinks();
    all.insert(all.end(), waiting.begin(), waiting.end());
    all.insert(all.end(), waitingLinks_.begin(), waitingLinks_.end());  // held back by the burst limit
    const int listener = registry_->listenerToHandOn(all);
    for (const std::string& link : all)
        if (std::find(command.begin(), command.end(), link) == command.end()) command.push_back(link);
    const platform::Error error = execInPlace(bundle_->executablePath(), command, listener);
    program_log::write("the new version could not be started: " + error.message);
}

void LinuxPlatform::terminationCleanup() {
    // Nothing queued may reach the delegate after its applicationWillTerminate.
    mainQueue_.close();
    // A copy started from now on becomes the running one instead of handing its links to us.
    registry_->release();
    if (cleanup_) cleanup_();
}

}  // namespace nubrio::linux_platform
