// A child for the task tests. It gets no arguments, so it reads what to do from the file "mode" in its
// working folder:
//   exit N          exit with status N
//   signal N        die by signal N
//   report          write "report" (working folder, own group, argc, stdin, an inherited variable,
//                   descriptors inherited beyond 0 to 2), exit 0
//   ignore-term     ignore SIGTERM, write "ready", wait forever
//   grandchild      start a grandchild in the same group that notes a SIGTERM in "grandchild-term";
//                   write its pid to "grandchild.pid"; both wait forever
//   exit-after MS   exit 0 after MS milliseconds
//   crash-leaving-child   start a grandchild in the same group that ignores SIGTERM and writes its pid
//                   to "grandchild.pid", then die by SIGSEGV
//   stubborn-family a child ignoring SIGTERM, with such a grandchild; both write their pids
//                   ("child.pid", "grandchild.pid") and wait forever
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// Written to a temporary name and renamed, so the test never reads half a file.
void writeFile(const std::string& name, const std::string& text) {
    const std::string temporary = name + ".tmp";
    std::ofstream(temporary) << text;
    std::rename(temporary.c_str(), name.c_str());
}

void noteTerm(int) {
    const int fd = ::open("grandchild-term", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) ::close(fd);
    ::_exit(0);
}

int openDescriptorsAbove2() {
    int count = 0;
    for (int fd = 3; fd < 1024; ++fd)
        if (::fcntl(fd, F_GETFD) != -1) ++count;
    return count;
}

[[noreturn]] void waitForever() {
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char**) {
    std::ifstream modeFile("mode");
    std::string mode;
    long value = 0;
    modeFile >> mode >> value;
    modeFile.close();

    if (mode == "exit") return static_cast<int>(value);
    if (mode == "signal") {
        std::signal(static_cast<int>(value), SIG_DFL);
        ::kill(::getpid(), static_cast<int>(value));
        waitForever();
    }
    if (mode == "report") {
        char folder[4096] = {};
        if (!::getcwd(folder, sizeof folder)) folder[0] = '\0';
        char byte;
        const ssize_t stdinRead = ::read(STDIN_FILENO, &byte, 1);
        const char* mark = std::getenv("NUBRIO_TASK_TEST_MARK");
        std::ostringstream report;
        report << "cwd=" << folder << "\n"
               << "own-group=" << (::getpgrp() == ::getpid() ? "yes" : "no") << "\n"
               << "argc=" << argc << "\n"
               << "stdin-read=" << stdinRead << "\n"
               << "mark=" << (mark ? mark : "") << "\n"
               << "extra-fds=" << openDescriptorsAbove2() << "\n";
        writeFile("report", report.str());
        return 0;
    }
    if (mode == "ignore-term") {
        std::signal(SIGTERM, SIG_IGN);
        writeFile("ready", "");
        waitForever();
    }
    if (mode == "grandchild") {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            std::signal(SIGTERM, noteTerm);
            writeFile("grandchild.pid", std::to_string(::getpid()));
            waitForever();
        }
        waitForever();
    }
    if (mode == "crash-leaving-child" || mode == "stubborn-family") {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            std::signal(SIGTERM, SIG_IGN);
            writeFile("grandchild.pid", std::to_string(::getpid()));
            waitForever();
        }
        while (::access("grandchild.pid", F_OK) != 0) ::usleep(1000);
        if (mode == "stubborn-family") {
            std::signal(SIGTERM, SIG_IGN);
            writeFile("child.pid", std::to_string(::getpid()));
            waitForever();
        }
        std::signal(SIGSEGV, SIG_DFL);
        ::raise(SIGSEGV);
        waitForever();
    }
    if (mode == "exit-after") {
        ::usleep(static_cast<useconds_t>(value) * 1000);
        return 0;
    }
    return 99;
}
