#pragma once
// The real Chromium as the user's default browser: chromium.desktop in XDG_DATA_HOME/applications, the
// default handler of https links, whose Exec is a script that notes each launch and then becomes
// /usr/bin/chromium with a throw-away profile, reaching no host but 127.0.0.1.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace nubrio::e2e {

class ChromiumBrowser {
public:
    static constexpr const char* Program = "/usr/bin/chromium";
    static bool installed();

    // Writes the entry, the script and mimeapps.list; throws std::runtime_error on failure.
    ChromiumBrowser(const std::filesystem::path& dataHome, const std::filesystem::path& configHome,
                    const std::filesystem::path& workFolder);
    // Ends every process of every launch.
    ~ChromiumBrowser();
    ChromiumBrowser(const ChromiumBrowser&) = delete;
    ChromiumBrowser& operator=(const ChromiumBrowser&) = delete;

    struct Launch {
        pid_t pid = 0;  // the browser process, which leads a session of its own
        unsigned long long startTime = 0;  // as /proc tells it, to tell a reused pid apart
        std::chrono::system_clock::time_point at;
        std::vector<std::string> arguments;  // those that the entry's Exec was given
    };
    // Every launch so far, oldest first.
    std::vector<Launch> launches() const;

    // Ends every process of every launch: SIGTERM, a grace period, then SIGKILL. False when one of
    // them outlived it all.
    bool stop(std::chrono::milliseconds grace);

private:
    std::filesystem::path launchesFolder_;
    std::string mark_;  // an environment entry that Chromium's processes inherit from the script
};

}  // namespace nubrio::e2e
