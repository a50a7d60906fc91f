// The program executed anew in its own place (after an upgrade): same pid, the single-instance
// socket handed on as descriptor 3 and announced as a socket-activated service's, nothing else
// inherited; a program that cannot be executed gives the system's reason.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/temp_home.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs the helper with the arguments; its standard output and raw wait status.
std::pair<std::string, int> runHelper(std::vector<std::string> arguments) {
    const std::string program = std::string(NUBRIO_TEST_HELPERS_DIR) + "/exec_in_place";
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return {text, status};
}

TEST(ExecInPlaceTest, TheNewProgramKeepsThePidAndGetsOnlyTheSocket) {
    nubrio::testing::TempHome home;
    const auto [output, status] = runHelper({"hand", (home.path() / "socket").string()});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;

    std::istringstream lines(output);
    std::string word;
    int before = 0, after = 0, fd = 0, closeOnExec = 0, variablesLeft = 0;
    lines >> word >> before;
    ASSERT_EQ(word, "pid") << output;
    lines >> word >> after >> fd >> closeOnExec >> variablesLeft;
    ASSERT_EQ(word, "took") << output;
    EXPECT_EQ(after, before) << "the same process";
    EXPECT_EQ(fd, 3);
    EXPECT_EQ(closeOnExec, 1) << "taken: the worker does not inherit it";
    EXPECT_EQ(variablesLeft, 0) << "nor the variables that announced it";
    std::string fds;
    std::getline(lines >> std::ws, fds);
    EXPECT_EQ(fds, "fds 0 1 2 3") << "the descriptor opened without O_CLOEXEC stayed behind";
}

TEST(ExecInPlaceTest, AProgramThatCannotBeExecutedGivesTheSystemsReason) {
    const auto [output, status] = runHelper({"missing"});
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 3) << "execInPlace returned";
    EXPECT_NE(output.find("/nonexistent/Nubrio"), std::string::npos) << output;
    EXPECT_NE(output.find(std::strerror(ENOENT)), std::string::npos) << output;
}

TEST(ExecInPlaceTest, NothingHandedOnIsNothingTaken) {
    // A start of its own, without the variables: no descriptor is taken, whatever fd 3 is.
    const auto [output, status] = runHelper({"take"});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_EQ(output.rfind("took ", 0), 0u) << output;
    std::istringstream line(output.substr(5));
    int pid = 0, fd = 0;
    line >> pid >> fd;
    EXPECT_EQ(fd, -1);
}

}  // namespace
