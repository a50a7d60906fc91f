#pragma once
// Every Linux service of the program, wired together, behind the one Platform the core receives.
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/linux/alert_linux.h"
#include "platform/linux/application_linux.h"
#include "platform/linux/bundle_linux.h"
#include "platform/linux/clock_linux.h"
#include "platform/linux/file_manager_linux.h"
#include "platform/linux/instance_registry_linux.h"
#include "platform/linux/login_items_linux.h"
#include "platform/linux/main_queue_linux.h"
#include "platform/linux/process_linux.h"
#include "platform/linux/status_bar_linux.h"
#include "platform/linux/task_linux.h"
#include "platform/linux/url_session_linux.h"
#include "platform/linux/workspace_linux.h"
#include "platform/platform.h"

namespace nubrio::linux_platform {

class LinuxPlatform {
public:
    // Needs the QApplication. `registry` has been claimed already; the workspace lists its running
    // copies, and links handed over to it reach the application's delegate. On termination the main
    // queue stops delivering and the registry lets go of its socket.
    LinuxPlatform(int argc, char** argv, std::unique_ptr<LinuxBundle> bundle, std::unique_ptr<InstanceRegistry> registry);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    platform::Platform& platform() { return platform_; }
    LinuxApplication& application() { return application_; }
    LinuxBundle& bundle() { return *bundle_; }
    InstanceRegistry& registry() { return *registry_; }

    // Runs during termination after the platform's own cleanup, best effort.
    void setTerminationCleanup(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }

private:
    void terminationCleanup();

    bool handOverArrived(const handover::Message& message);

    std::unique_ptr<LinuxBundle> bundle_;
    std::unique_ptr<InstanceRegistry> registry_;
    std::function<void()> cleanup_;

    LiveTasks liveTasks_;
    LinuxApplication application_;
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

    platform::Platform platform_;
};

}  // namespace nubrio::linux_platform
