#include "platform/linux/base/program_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace nubrio::linux_platform::program_log {

namespace {

constexpr const char* JournalSocket = "/run/systemd/journal/socket";

std::atomic<bool> standardErrorAllowed{true};

}  // namespace

void keepOffStandardError() { standardErrorAllowed = false; }

void write(std::string_view line) {
    const std::string text(line);
    // libsystemd reports success when no journal runs, so its socket decides.
    if (::access(JournalSocket, F_OK) == 0 &&
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", LOG_WARNING, "SYSLOG_IDENTIFIER=%s",
                        Identifier, nullptr) >= 0)
        return;
    if (!standardErrorAllowed) return;
    const std::string entry = std::string(Identifier) + ": " + text + "\n";
    std::fputs(entry.c_str(), stderr);
}

}  // namespace nubrio::linux_platform::program_log
