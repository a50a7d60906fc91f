// The program's own lines: to the journal, or to standard error where none runs, never into a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <string>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform {
namespace {

bool journalRuns() { return std::filesystem::exists("/run/systemd/journal/socket"); }

// Each case runs in a child process: keepOffStandardError cannot be undone.
TEST(ProgramLog, WithoutAJournalLinesGoToStandardErrorExceptInTheCheckMode) {
    if (journalRuns()) GTEST_SKIP() << "a journal runs here: the lines go there";
    const std::pair<bool, std::string> cases[] = {
        {false, "nubrio: cannot open file:///nowhere: no handler\n"},
        {true, ""},
    };
    for (const auto& [checkMode, expected] : cases) {
        SCOPED_TRACE(checkMode ? "check mode" : "ordinary start");
        ::testing::internal::CaptureStderr();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (checkMode) program_log::keepOffStandardError();
            program_log::write("cannot open file:///nowhere: no handler");
            std::fflush(stderr);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected);
    }
}

}  // namespace
}  // namespace nubrio::linux_platform
