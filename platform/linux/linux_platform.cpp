#include "platform/linux/linux_platform.h"

#include "platform/linux/desktop/launcher.h"

namespace nubrio::linux_platform {

LinuxPlatform::LinuxPlatform(int argc, char** argv, std::unique_ptr<LinuxBundle> bundle,
                             std::unique_ptr<InstanceRegistry> registry)
    : bundle_(std::move(bundle)),
      registry_(std::move(registry)),
      requests_([this] { return application_.isTerminating(); }),
      process_(argc, argv, liveTasks_),
      tasks_(liveTasks_),
      statusBar_(&requests_),
      alerts_([this] { return application_.isTerminating(); }, &requests_),
      workspace_([registry = registry_.get()] { return registry->runningPids(); }),
      loginItems_(bundle_->executablePath()),
      platform_{application_, mainQueue_, clock_,      process_,  *bundle_,   fileManager_,
                tasks_,       urlSession_, statusBar_, alerts_,   workspace_, loginItems_} {
    registry_->setHandOverHandler([this](const handover::Message& message) { return handOverArrived(message); });
    application_.setTerminationCleanup([this] { terminationCleanup(); });
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
    for (const launcher::DesktopAction& action : launcher::kActions)
        if (message.command == action.selector) return statusBar_.performMenuCommand(action.selector);
    return false;
}

void LinuxPlatform::terminationCleanup() {
    // Nothing queued may reach the delegate after its applicationWillTerminate.
    mainQueue_.close();
    // A copy started from now on becomes the running one instead of handing its links to us.
    registry_->release();
    if (cleanup_) cleanup_();
}

}  // namespace nubrio::linux_platform
