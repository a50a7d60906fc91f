#pragma once
// Every Linux service of the program, wired together, behind the one Platform the core receives.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/desktop/file_manager.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/desktop/login_items.h"
#include "platform/linux/desktop/workspace.h"
#include "platform/linux/process/process_info.h"
#include "platform/linux/process/task.h"
#include "platform/linux/shell/alert.h"
#include "platform/linux/shell/application.h"
#include "platform/linux/shell/bundle.h"
#include "platform/linux/shell/burst_limit.h"
#include "platform/linux/shell/clock.h"
#include "platform/linux/shell/main_queue.h"
#include "platform/linux/shell/request_queue.h"
#include "platform/linux/shell/screen.h"
#include "platform/linux/shell/url_session.h"
#include "platform/linux/single_instance/registry.h"
#include "platform/linux/tray/login_notice.h"
#include "platform/linux/tray/status_bar.h"
#include "platform/platform.h"

class QTimer;

namespace nubrio::linux_platform {

class LinuxPlatform {
public:
    // Needs the QApplication. `registry` has been claimed already; the workspace lists its running
    // copies, and links handed over to it reach the application's delegate. On termination the main
    // queue stops delivering and the registry lets go of its socket. The worker's process group gets
    // `stop` when something of it is left. The check's status item shows in no tray (`tray`).
    LinuxPlatform(int argc, char** argv, std::unique_ptr<LinuxBundle> bundle, std::unique_ptr<InstanceRegistry> registry,
                  const StopSequence& stop, LinuxStatusBar::Tray tray = LinuxStatusBar::Tray::Shown);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    platform::Platform& platform() { return platform_; }
    LinuxApplication& application() { return application_; }
    LinuxBundle& bundle() { return *bundle_; }
    InstanceRegistry& registry() { return *registry_; }
    LinuxStatusBar& statusBar() { return statusBar_; }
    LinuxFileManager& fileManager() { return fileManager_; }

    // Runs during termination after the platform's own cleanup, best effort.
    void setTerminationCleanup(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }

    // What the program is started anew with after an upgrade, before the core's arguments and the
    // links not acted on yet: the program's name as given and Qt's own options.
    void setRelaunchCommand(std::vector<std::string> command) { relaunchCommand_ = std::move(command); }

    // The tray first: the status item shows `image` before the application launches, and the launch
    // (the worker's start with it) waits until a tray has fetched the icon, for a moment at most. The
    // delegate's status item and menu are these.
    void showStatusItemFirst(const platform::Image& image);

    // This process was started for a launcher's action with no copy running: runs it once launched.
    void runAfterLaunch(const launcher::DesktopAction& action);

private:
    void terminationCleanup();
    // The bundle's program in this process's place, the single-instance socket handed on; returns
    // only when it could not be started.
    void relaunchInPlace(const std::vector<std::string>& arguments, const std::vector<std::string>& links);

    bool handOverArrived(const handover::Message& message);
    bool linksArrived(const std::vector<std::string>& links);
    bool submitLinks(const std::vector<std::string>& links);
    bool folderCommandArrived(const launcher::DesktopAction& action);
    // The menu command of a launcher's action; a login action whose state is already so changes nothing.
    bool runAction(const launcher::DesktopAction& action);
    // After a change of the login item, whichever way it came, or a login action that found it so:
    // where no tray shows the menu's check mark, a notification says the state.
    void loginStateToTell();

    std::unique_ptr<LinuxBundle> bundle_;
    std::unique_ptr<InstanceRegistry> registry_;
    std::function<void()> cleanup_;
    std::vector<std::string> relaunchCommand_;

    LiveTasks liveTasks_;
    LinuxApplication application_;
    // Menu commands, the launcher's actions and handed-over links: one at a time, never in an alert.
    RequestQueue requests_;
    LinuxMainQueue mainQueue_;
    LinuxClock clock_;
    LinuxProcessInfo process_;
    LinuxFileManager fileManager_;
    LinuxTaskFactory tasks_;
    LinuxUrlSession urlSession_;
    LinuxStatusBar statusBar_;
    LinuxAlerts alerts_;
    LinuxWorkspace workspace_;
    LinuxLoginItemService loginItems_;
    LinuxScreen screen_;
    LoginNotice loginNotice_;

    // Hand-overs that open a window without asking first: links, and the launcher's folder commands.
    class Limited {
    public:
        // `what` names the requests in the log; `runWaiting` runs what was coalesced, at its release.
        Limited(std::string what, std::function<void()> runWaiting);
        ~Limited();
        BurstLimit::Verdict offer(const std::string& key);

    private:
        void arm();
        BurstLimit limit_;
        std::string what_;
        std::function<void()> runWaiting_;
        std::unique_ptr<QTimer> release_, quiet_;
    };
    std::vector<std::string> waitingLinks_;
    std::vector<const launcher::DesktopAction*> waitingFolderCommands_;
    Limited linkLimit_;
    Limited folderLimit_;

    platform::Platform platform_;
};

}  // namespace nubrio::linux_platform
