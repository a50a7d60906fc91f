#include "platform/linux/base/program_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace nubrio::linux_platform::program_log {

namespace {

std::atomic<bool> standardErrorAllowed{true};

}  // namespace

void keepOffStandardError() { standardErrorAllowed = false; }

void write(std::string_view line) {
    const std::string text(line);
    // Fails (no socket, no permission) exactly where no journal takes the line.
    const int sent = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", LOG_WARNING,
                                     "SYSLOG_IDENTIFIER=%s", Identifier, nullptr);
    if (sent >= 0 || !standardErrorAllowed) return;
    const std::string entry = std::string(Identifier) + ": " + text + "\n";
    std::fputs(entry.c_str(), stderr);
}

}  // namespace nubrio::linux_platform::program_log
