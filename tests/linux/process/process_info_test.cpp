// Process information and the clock of the real backend.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/linux/process/process_info.h"
#include "platform/linux/process/task.h"
#include "platform/linux/shell/clock.h"

namespace nubrio::linux_platform {
namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

TEST(ProcessInfoTest, WriteStandardErrorWritesAllOfALongTextThroughAPipe) {
    // More than a pipe holds, so the writes come back partial; a zero byte must not end the text.
    std::string text(1 << 20, 'a');
    text[1000] = '\0';
    text += "end\n";

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const int savedError = ::dup(STDERR_FILENO);
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);
    std::string received;
    std::thread reader([&] { received = drain(pipeEnds[0]); });

    LiveTasks tasks;
    LinuxProcessInfo(0, nullptr, tasks).writeStandardError(text);

    ::dup2(savedError, STDERR_FILENO);  // closes the last write end: the reader sees the end
    ::close(savedError);
    reader.join();
    ::close(pipeEnds[0]);
    EXPECT_EQ(received, text);
}

int exitPipe = -1;

TEST(ProcessInfoTest, ExitFlushesStdioAndEndsAtOnceWithTheStatus) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::fflush(nullptr);  // the child is to flush its own text only
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeEnds[0]);
        exitPipe = pipeEnds[1];
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        std::atexit([] { (void)!::write(exitPipe, "+exit-handler", 13); });
        std::fputs("buffered", stdout);  // a pipe: fully buffered, still in stdio
        LiveTasks tasks;
        LinuxProcessInfo(0, nullptr, tasks).exit(7);
        ::_exit(100);  // only if exit returned
    }
    ::close(pipeEnds[1]);
    const std::string output = drain(pipeEnds[0]);
    ::close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(output, "buffered");
}

TEST(ClockTest, CountsSecondsForward) {
    LinuxClock clock;
    const double before = clock.now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double elapsed = clock.now() - before;
    EXPECT_GE(elapsed, 0.09);
    EXPECT_LT(elapsed, 10.0);  // seconds, not milli- or nanoseconds
}

}  // namespace
}  // namespace nubrio::linux_platform
