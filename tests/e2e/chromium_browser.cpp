#include "chromium_browser.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

#include "browser_recorder.h"
#include "support/files.h"

#include "support/spin.h"
#include "worker_probe.h"

namespace nubrio::e2e {

namespace fs = std::filesystem;

namespace {

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

bool hasEnvironmentEntry(pid_t pid, const std::string& entry) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    for (std::string item; std::getline(in, item, '\0');)
        if (item == entry) return true;
    return false;
}

// Live processes (not zombies) of these sessions or with this environment entry.
std::vector<pid_t> processesOf(const std::vector<pid_t>& sessions, const std::string& mark) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        const auto process = snapshot(std::stoi(name));
        if (!process || process->state == 'Z' || process->state == 'X') continue;
        if (std::find(sessions.begin(), sessions.end(), process->session) != sessions.end() ||
            hasEnvironmentEntry(process->pid, mark))
            found.push_back(process->pid);
    }
    return found;
}

}  // namespace

bool ChromiumBrowser::installed() { return ::access(Program, X_OK) == 0; }

ChromiumBrowser::ChromiumBrowser(const fs::path& dataHome, const fs::path& configHome, const fs::path& workFolder)
    : launchesFolder_(workFolder / "chromium-launches"), mark_("NUBRIO_E2E_CHROMIUM=" + launchesFolder_.string()) {
    fs::create_directories(launchesFolder_);
    const fs::path script = workFolder / "bin/chromium-fixture";
    // The launch is noted before exec, so its pid and start time are Chromium's own. The flags keep
    // the profile fresh and every request on this machine: no host name resolves, and the services
    // that call home on their own are off. --no-sandbox because the tests may run as root.
    const std::string profile = shellQuoted((workFolder / "chromium-profile").string());
    const std::string log = shellQuoted((workFolder / "chromium.log").string());
    testing::writeFile(script,
          "#!/bin/sh\n"
          "export " + shellQuoted(mark_) + "\n"
          "call=" + shellQuoted(launchesFolder_.string()) + "/$$\n"
          "{ date +%s%N; echo $$; cut -d' ' -f22 /proc/$$/stat; printf '%s\\n' \"$@\"; } > \"$call.partial\" &&\n"
          "  mv \"$call.partial\" \"$call.launch\"\n"
          "exec " + std::string(Program) + " --no-sandbox --user-data-dir=" + profile +
              " --no-first-run --no-default-browser-check --password-store=basic"
              " --disable-background-networking --disable-component-update --disable-sync --disable-gpu"
              " --disable-quic --no-proxy-server '--host-resolver-rules=MAP * ~NOTFOUND'"
              " \"$@\" >>" + log + " 2>&1\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    installDefaultBrowser(dataHome, configHome, "chromium.desktop", "Chromium", script);
}

ChromiumBrowser::~ChromiumBrowser() { stop(std::chrono::seconds(10)); }

std::vector<ChromiumBrowser::Launch> ChromiumBrowser::launches() const {
    std::vector<Launch> launches;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(launchesFolder_, error)) {
        if (entry.path().extension() != ".launch") continue;
        std::ifstream in(entry.path());
        long long nanoseconds = 0;
        Launch launch;
        if (!(in >> nanoseconds >> launch.pid >> launch.startTime)) continue;
        launch.at = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(nanoseconds)));
        in.ignore(1);
        for (std::string line; std::getline(in, line);) launch.arguments.push_back(line);
        launches.push_back(std::move(launch));
    }
    std::sort(launches.begin(), launches.end(), [](const Launch& a, const Launch& b) { return a.at < b.at; });
    return launches;
}

bool ChromiumBrowser::stop(std::chrono::milliseconds grace) {
    // Chromium's helpers stay in the session that the workspace gave it; its crash handlers start
    // sessions of their own but keep the script's environment. While a process of a session lives,
    // no other process gets the session's number; a leader with another start time means that the
    // session is over and its pid reused.
    std::vector<pid_t> sessions;
    for (const Launch& launch : launches()) {
        const auto leader = snapshot(launch.pid);
        if (!leader || leader->startTime == launch.startTime) sessions.push_back(launch.pid);
    }
    const auto left = [&] { return processesOf(sessions, mark_); };
    for (pid_t pid : left()) ::kill(pid, SIGTERM);
    if (testing::spinUntil([&] { return left().empty(); }, grace)) return true;
    for (pid_t pid : left()) ::kill(pid, SIGKILL);
    return testing::spinUntil([&] { return left().empty(); }, std::chrono::seconds(5));
}

}  // namespace nubrio::e2e
