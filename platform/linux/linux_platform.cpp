#include "platform/linux/linux_platform.h"

#include <QGuiApplication>
#include <string_view>

#include "app/build_config.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/shell/words.h"

namespace nubrio::linux_platform {

LinuxPlatform::LinuxPlatform(int argc, char** argv, std::unique_ptr<LinuxBundle> bundle,
                             std::unique_ptr<InstanceRegistry> registry, const StopSequence& stop)
    : bundle_(std::move(bundle)),
      registry_(std::move(registry)),
      requests_([this] { return application_.isTerminating(); }),
      process_(argc, argv, liveTasks_),
      tasks_(liveTasks_, stop),
      urlSession_(bundle_->bundlePath() / config::NetworkModule),
      statusBar_(&requests_),
      alerts_([this] { return application_.isTerminating(); }, &requests_),
      workspace_([registry = registry_.get()] { return registry->runningPids(); }),
      loginItems_(bundle_->executablePath()),
      platform_{application_, mainQueue_, clock_,      process_,  *bundle_,   fileManager_,
                tasks_,       urlSession_, statusBar_, alerts_,   workspace_, loginItems_, screen_, linuxWords()} {
    registry_->setHandOverHandler([this](const handover::Message& message) { return handOverArrived(message); });
    application_.setTerminationCleanup([this] { terminationCleanup(); });
    loginItems_.setChangeHandler([this] { loginStateToTell(); });
}

bool LinuxPlatform::handOverArrived(const handover::Message& message) {
    if (!message.links.empty()) {
        // The same links again while they wait (or while their alert is open) are one request.
        std::string key = "links";
        for (const std::string& link : message.links) key += "\n" + link;
        return requests_.submit(key, [this, links = message.links] { application_.openUrlsNow(links); });
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

void LinuxPlatform::terminationCleanup() {
    // Nothing queued may reach the delegate after its applicationWillTerminate.
    mainQueue_.close();
    // A copy started from now on becomes the running one instead of handing its links to us.
    registry_->release();
    if (cleanup_) cleanup_();
}

}  // namespace nubrio::linux_platform
