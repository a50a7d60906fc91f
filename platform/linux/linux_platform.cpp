#include "platform/linux/linux_platform.h"

#include <algorithm>
#include <string_view>

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
      platform_{application_, mainQueue_, clock_,      process_,  *bundle_,   fileManager_,
                tasks_,       urlSession_, statusBar_, alerts_,   workspace_, loginItems_, screen_, linuxWords()} {
    registry_->setHandOverHandler([this](const handover::Message& message) { return handOverArrived(message); });
    application_.setTerminationCleanup([this] { terminationCleanup(); });
    application_.setRelaunchHandler([this](const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& links) { relaunchInPlace(arguments, links); });
    // The network module loads beside the worker's start, after the tray icon, so that the first
    // request rarely waits for it.
    application_.setLaunchStart([this] { urlSession_.startLoading(); });
}

bool LinuxPlatform::handOverArrived(const handover::Message& message) {
    if (!message.links.empty()) {
        // The same links again while they wait (or while their alert is open) are one request.
        std::string key = "links";
        for (const std::string& link : message.links) key += "\n" + link;
        return requests_.submit(key, [this, links = message.links] { application_.openUrlsNow(links); }, message.links);
    }
    // A launcher's desktop action: the menu's own command, its confirmation included.
    if (application_.isTerminating()) return false;
    const launcher::DesktopAction* action = launcher::actionNamed(message.command);
    if (!action) return false;
    // Before the launch (the tray icon goes first) there is no menu yet: the action waits for it.
    if (!application_.hasLaunched()) {
        application_.afterLaunch([this, action] { runAction(*action); });
        return true;
    }
    return runAction(*action);
}

bool LinuxPlatform::runAction(const launcher::DesktopAction& action) {
    if (action.login != launcher::LoginChange::None) {
        const bool on = loginItems_.status() == platform::LoginItemStatus::Enabled;
        // Already so (changed elsewhere since the entry was written): only the entry's title catches up.
        if (on == (action.login == launcher::LoginChange::TurnOn)) {
            if (loginChanged_) loginChanged_();
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

void LinuxPlatform::setLoginChangeHandler(std::function<void()> changed) {
    loginChanged_ = changed;
    loginItems_.setChangeHandler(std::move(changed));
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
