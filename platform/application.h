#pragma once
#include <memory>
#include <string>
#include <vector>

namespace nubrio::platform {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    // Links delivered by the desktop, in the order given.
    virtual void applicationOpenUrls(const std::vector<std::string>& urls) = 0;
    virtual void applicationWillTerminate() = 0;
};

enum class ActivationPolicy { Regular = 0, Accessory = 1 };

class Application {
public:
    virtual ~Application() = default;
    // The application does not own its delegate.
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Runs the event loop; calls the delegate's applicationDidFinishLaunching once it has started.
    virtual void run() = 0;
    // The ordinary termination: the delegate's applicationWillTerminate, then the process ends with
    // status 0. Nothing else reaches the delegate afterwards.
    virtual void terminate() = 0;
    // Ends the application as terminate() does (the delegate's applicationWillTerminate), but starts
    // the bundle's program anew in this process's place, with `arguments` after the program path. The
    // new one is the same single instance, and links handed to this one that it has not acted on yet
    // go to it. Where the program cannot be started, the process ends as after terminate().
    virtual void relaunch(const std::vector<std::string>& arguments) = 0;
};

}  // namespace nubrio::platform
