#pragma once
// The application on the Qt event loop: delegate callbacks, links handed in, and the ordinary
// termination, also when the session or the user sends SIGTERM, SIGINT or SIGHUP.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/application.h"

class QObject;
class QSocketNotifier;

namespace nubrio::linux_platform {

class LinuxApplication final : public platform::Application {
public:
    // The QApplication must exist. Only one LinuxApplication may exist at a time: it owns the
    // process's handlers of SIGTERM, SIGINT and SIGHUP, and restores the previous ones when it goes.
    LinuxApplication();
    ~LinuxApplication() override;
    LinuxApplication(const LinuxApplication&) = delete;
    LinuxApplication& operator=(const LinuxApplication&) = delete;

    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    void setActivationPolicy(platform::ActivationPolicy policy) override;
    // Returns at once when terminate() came first.
    void run() override;
    // Until releaseLaunch(), the loop runs without applicationDidFinishLaunching: what must come first
    // (the tray icon) has the loop to itself for a moment.
    void holdLaunch();
    void releaseLaunch();
    // Re-entry, or a call after the first, does nothing.
    void terminate() override;
    // As terminate(), the delegate's applicationWillTerminate included, then the relaunch handler,
    // which starts the program anew in this process's place; when it returns (it could not), the
    // termination goes on. Without a handler, the same as terminate().
    void relaunch(const std::vector<std::string>& arguments) override;

    // Links for the delegate's applicationOpenUrls, main thread only. Before launch they are kept and
    // delivered right after applicationDidFinishLaunching; after it they are delivered from the event
    // loop. False, and nothing is delivered, once termination has begun.
    bool openUrls(std::vector<std::string> links);
    // The same, delivered now when the application has launched (from the event loop only).
    bool openUrlsNow(const std::vector<std::string>& links);

    // Runs `step` from the event loop once applicationDidFinishLaunching has returned (after the links
    // kept for it); never once termination has begun.
    void afterLaunch(std::function<void()> step);

    // Runs right before applicationDidFinishLaunching, which starts the worker: what its start will
    // soon need can begin then, off the path to the tray icon.
    void setLaunchStart(std::function<void()> step) { launchStart_ = std::move(step); }

    // Runs during terminate(), after the delegate's applicationWillTerminate and before the event
    // loop ends: best-effort cleanup of what the process leaves behind.
    void setTerminationCleanup(std::function<void()> cleanup);

    // Starts the program anew in this process's place with the arguments, and the links that were
    // given to openUrls and not delivered yet; returns only when it could not.
    using RelaunchHandler =
        std::function<void(const std::vector<std::string>& arguments, const std::vector<std::string>& links)>;
    void setRelaunchHandler(RelaunchHandler handler);

    bool isTerminating() const { return terminating_; }
    bool hasLaunched() const { return launched_; }

private:
    void finishLaunching();
    void signalArrived();

    std::weak_ptr<platform::ApplicationDelegate> delegate_;
    std::function<void()> cleanup_;
    RelaunchHandler relaunch_;
    std::function<void()> launchStart_;
    // Given to openUrls and not delivered yet: before the launch all of them, after it those whose
    // delivery from the event loop has not come yet.
    std::deque<std::vector<std::string>> pendingLinks_;
    std::vector<std::function<void()>> afterLaunch_;
    bool launched_ = false;
    bool running_ = false;
    bool launchHeld_ = false;
    bool terminating_ = false;
    // Context of queued deliveries: they die with this object.
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
};

}  // namespace nubrio::linux_platform
