#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/uuid.h"
#include "platform/platform.h"

namespace nubrio {

// The application delegate: the whole state of the program and every command.
class Nubrio final : public platform::ApplicationDelegate, public std::enable_shared_from_this<Nubrio> {
public:
    explicit Nubrio(platform::Platform& platform);

    // Reached by the platform.
    void applicationDidFinishLaunching() override;
    void applicationOpenUrls(const std::vector<std::string>& urls) override;
    void applicationWillTerminate() override;

    // Menu actions.
    void openWeb();
    void openFiles();
    void openLogs();
    void about();
    void toggleLogin();
    void restart();
    void uninstall();
    void quit();

private:
    friend class NubrioInspector;  // tests read the state

    std::shared_ptr<platform::Menu> makeStatusMenu();

    void startWorker(bool openEditor);
    void workerDidExit(const std::shared_ptr<platform::Task>& task);
    void waitForWorker(std::shared_ptr<platform::Task> task, Uuid generation, std::int64_t attempt);
    void judge(const std::shared_ptr<platform::Task>& task, Uuid generation, std::int64_t attempt,
               const std::optional<std::string>& body);
    void stopWorker();
    // A failed check: the line (if any) on standard error, the worker stopped, then exit status 2.
    void failCheck(const std::string& line);

    // The bundle on disk beside the one this program started from: its program file and its version.
    enum class BundleOnDisk { Same, Replaced, Gone };
    BundleOnDisk bundleOnDisk();
    void watchBundle();
    // Replaced: the program starts again from it once nothing waits on the user. Gone, and still gone
    // after a grace: the program ends.
    void bundleChanged(bool graceOver);
    // False when the program follows its bundle instead of starting a worker from it.
    bool workerMayStart(bool openEditor);
    // The program anew in this process's place, stopping the worker on the way.
    void relaunch(bool openEditor);

    bool hasArgument(const std::string& flag);
    bool inCheckMode();
    void showAlert(const std::string& messageText, const std::string& informativeText);
    platform::Action action(const char* selector, void (Nubrio::*method)());

    platform::Platform& platform_;

    std::shared_ptr<platform::StatusItem> item;
    std::shared_ptr<platform::Task> worker;
    bool stopping;
    std::shared_ptr<platform::MenuItem> status;
    std::shared_ptr<platform::MenuItem> login;
    bool ready;
    bool openWhenReady;
    Uuid startup;
    std::vector<double> restarts;
    const std::string version;
    const std::filesystem::path home;
};

}  // namespace nubrio
