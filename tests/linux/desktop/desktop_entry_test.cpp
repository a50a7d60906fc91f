// Exec lines written for our own entries read back as the same command.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/desktop/desktop_entry.h"

namespace {

namespace entry = nubrio::linux_platform::desktop_entry;

TEST(DesktopEntryExec, QuotedPathsReadBackUnchanged) {
    const std::vector<std::string> paths = {
        "/opt/nubrio/Nubrio.app/Contents/MacOS/Nubrio",
        "/home/ana/Mis Apps/Nubrio.app/Contents/MacOS/Nubrio",
        "/home/ana/ñandú (copia)/Nubrio",
        "/tmp/a\"b$c`d\\e'f;g",
        "/tmp/100%/%u/Nubrio",
        "/tmp/tab\there",
    };
    for (const std::string& path : paths) {
        const std::string exec = entry::quoteExecArgument(path) + " %u";
        const entry::ParsedExec parsed = entry::parseExec(exec);
        EXPECT_FALSE(parsed.error) << exec << ": " << *parsed.error;
        EXPECT_EQ(parsed.argv, (std::vector<std::string>{path})) << exec;
    }
    EXPECT_EQ(entry::quoteExecArgument("/opt/nubrio/Nubrio"), "/opt/nubrio/Nubrio");  // quotes only when needed
}

}  // namespace
