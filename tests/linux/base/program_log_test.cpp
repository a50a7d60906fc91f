// The program's own lines: to the journal, or to standard error where none runs, never into a file;
// never waiting for a reader, and never more than one line however the text was made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/linux/base/printable.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/utf8.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;

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
            program_log::flush(10s);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected);
    }
}

TEST(ProgramLog, ControlCharactersAreEscapedAndALineIsBounded) {
    const std::string longOption(128 * 1024, 'a');
    const struct {
        std::string line, expected;
    } table[] = {
        {"cannot create a folder: /tmp/a\nnubrio: forged", "cannot create a folder: /tmp/a\\nnubrio: forged"},
        {"folder \x1b]0;title\x07\x1b[31mred\r", "folder \\x1b]0;title\\x07\\x1b[31mred\\r"},
        {"tab\there, DEL \x7f, NUL " + std::string(1, '\0') + ".", "tab\\there, DEL \\x7f, NUL \\x00."},
        {"C1 CSI \xc2\x9b" "2J and NEL \xc2\x85", "C1 CSI \\u009b2J and NEL \\u0085"},
        {"not UTF-8: \xff\xc3(, overlong \xc0\xaf, surrogate \xed\xa0\x80",
         "not UTF-8: \\xff\\xc3(, overlong \\xc0\\xaf, surrogate \\xed\\xa0\\x80"},
        {"Configuración · ñandú 🎬 \\ stays", "Configuración · ñandú 🎬 \\ stays"},
        {longOption, std::string(program_log::kMaxLineBytes, 'a') + "… (126976 more bytes not shown)"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.expected.substr(0, 60));
        EXPECT_EQ(program_log::lineText(row.line), row.expected);
    }
}

TEST(ProgramLog, ACutLineEndsOnACharacterAndEscapesAreNotSplit) {
    std::string accents;
    for (int i = 0; i < 3000; ++i) accents += "ñ";
    const std::string text = program_log::lineText(accents);
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_LE(text.find("…"), program_log::kMaxLineBytes);

    std::size_t cut = 0;
    // Ten escapes of four bytes: eight fit in 33 bytes plus the one plain byte before them.
    const std::string escaped = printable("x" + std::string(10, '\x01'), 33, &cut);
    EXPECT_EQ(escaped, "x\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01…");
    EXPECT_EQ(cut, 2u);
}

// Standard error a pipe that is full and that nobody reads: writing returns at once, the surplus is
// dropped, and once a reader comes the next line says how many went.
TEST(ProgramLog, AFullStandardErrorNeverStopsTheWriterAndDropsAreCounted) {
    if (journalRuns()) GTEST_SKIP() << "a journal runs here: the lines go there";
    int pipeEnds[2], report[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(::pipe(report), 0);
    // Filled to the brim while non-blocking; the child then writes to it as a blocking pipe.
    ASSERT_EQ(::fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK), 0);
    std::size_t filler = 0;
    const std::string dots(4096, '.');
    for (ssize_t n; (n = ::write(pipeEnds[1], dots.data(), dots.size())) > 0;) filler += static_cast<std::size_t>(n);
    ASSERT_EQ(::fcntl(pipeEnds[1], F_SETFL, 0), 0);

    constexpr int kLines = 1000;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(pipeEnds[1], STDERR_FILENO);
        ::close(pipeEnds[0]);
        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i) program_log::write("line " + std::to_string(i));
        const long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &ms, sizeof ms);
        // Once the parent reads, what waited goes out; then one more line carries the count.
        program_log::flush(20s);
        program_log::write("last");
        program_log::flush(20s);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);

    long ms = -1;
    pollfd answer{report[0], POLLIN, 0};
    const bool answered = ::poll(&answer, 1, 20000) == 1 && ::read(report[0], &ms, sizeof ms) == sizeof ms;
    std::string all;
    char chunk[65536];
    for (ssize_t n; (n = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    if (!answered) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(answered) << "the writes did not return while nobody read standard error";
    EXPECT_LT(ms, 5000) << kLines << " lines took " << ms << " ms";

    ASSERT_GE(all.size(), filler);
    const std::string lines = all.substr(filler);
    std::vector<std::string> written;
    for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
        written.push_back(lines.substr(at, end - at));
    ASSERT_FALSE(written.empty());
    std::smatch count;
    ASSERT_TRUE(std::regex_match(written.back(), count,
                                 std::regex(R"(nubrio: last \(([0-9]+) earlier lines dropped: the log was not being read\))")))
        << written.back();
    const std::size_t dropped = std::stoul(count[1]);
    EXPECT_EQ(written.size() - 1 + dropped, static_cast<std::size_t>(kLines));
    EXPECT_LE(written.size() - 1, program_log::kMaxWaitingLines + 1);
    EXPECT_EQ(written.front(), "nubrio: line 0");
}

}  // namespace
}  // namespace nubrio::linux_platform
