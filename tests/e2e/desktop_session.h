#pragma once
// A throw-away desktop session for one test: a virtual X display (Xvfb on a free display number),
// optionally an XEmbed tray (trayer), and a private session bus that activates no services, so
// nothing of the machine's own desktop takes part.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"

namespace nubrio::e2e {

class DesktopSession {
public:
    struct Options {
        bool xembedTray = false;
        std::string screen = "1280x800";  // width x height
    };

    // The programs a session cannot do without; none when all are there.
    static std::optional<std::string> missingRequirement();

    // Throws std::runtime_error (with the servers' logs) when the session cannot be set up.
    DesktopSession(const std::filesystem::path& workFolder, Options options);
    ~DesktopSession();

    const std::string& display() const { return display_; }
    const std::string& busAddress() const { return busAddress_; }
    // DISPLAY and DBUS_SESSION_BUS_ADDRESS for programs that run in this session.
    void addTo(Environment& environment) const;

private:
    void startDisplay(const std::filesystem::path& workFolder, const std::string& screen);
    void startBus(const std::filesystem::path& workFolder);
    void startTray(const std::filesystem::path& workFolder);

    std::string display_;
    std::string busAddress_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> tray_;
};

}  // namespace nubrio::e2e
