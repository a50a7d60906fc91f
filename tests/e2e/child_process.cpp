#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <QString>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "support/spin.h"

extern char** environ;

namespace nubrio::e2e {

Environment currentEnvironment() {
    Environment environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return environment;
}

namespace {

std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const QString found = QStandardPaths::findExecutable(QString::fromStdString(program));
    if (found.isEmpty()) throw std::runtime_error(program + " is not on PATH");
    return found.toStdString();
}

}  // namespace

ChildProcess::ChildProcess(Options options) : log_(options.log) {
    if (options.arguments.empty()) throw std::invalid_argument("no program to start");
    const std::string program = resolve(options.arguments.front());

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> environment;
    for (const auto& [name, value] : options.environment) environment.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (std::string& argument : options.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int report[2] = {-1, -1};
    if (options.reportPipe && ::pipe2(report, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    int execFailure[2] = {-1, -1};
    if (::pipe2(execFailure, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || null < 0) throw std::runtime_error("cannot open the log " + log_.string());
    const int deathSignal = options.parentDeathSignal;

    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        if (deathSignal) ::prctl(PR_SET_PDEATHSIG, deathSignal);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &defaults, nullptr);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        int keep = execFailure[1];
        if (report[1] >= 0) {
            if (report[1] == ReportDescriptor)
                ::fcntl(ReportDescriptor, F_SETFD, 0);
            else
                ::dup2(report[1], ReportDescriptor);
        }
        // Nothing of this process (the D-Bus connection, X sockets) leaks into the child.
        int kept[2] = {keep, report[1] >= 0 ? ReportDescriptor : -1};
        if (kept[0] > kept[1]) std::swap(kept[0], kept[1]);
        unsigned from = 3;
        for (int fd : kept) {
            if (fd < static_cast<int>(from)) continue;
            if (fd > static_cast<int>(from)) ::close_range(from, static_cast<unsigned>(fd) - 1, 0);
            from = static_cast<unsigned>(fd) + 1;
        }
        ::close_range(from, ~0U, 0);
        ::execve(program.c_str(), argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] ssize_t ignored = ::write(keep, &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(log);
    ::close(null);
    ::close(execFailure[1]);
    if (report[1] >= 0) ::close(report[1]);
    reportRead_ = report[0];
    if (pid_ < 0) {
        ::close(execFailure[0]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
    }
    int error = 0;
    ssize_t got;
    do got = ::read(execFailure[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    ::close(execFailure[0]);
    if (got == sizeof error) {
        ::waitpid(pid_, &waitStatus_, 0);
        ended_ = true;
        if (reportRead_ >= 0) ::close(reportRead_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    stop(std::chrono::seconds(5));
    if (reportRead_ >= 0) ::close(reportRead_);
}

bool ChildProcess::reap() {
    if (ended_) return true;
    int status = 0;
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
        ended_ = true;
        waitStatus_ = status;
    }
    return ended_;
}

bool ChildProcess::running() { return !reap(); }

std::optional<int> ChildProcess::exitCode() {
    if (!reap() || !WIFEXITED(waitStatus_)) return std::nullopt;
    return WEXITSTATUS(waitStatus_);
}

std::string ChildProcess::state() {
    if (!reap()) return "running";
    if (WIFEXITED(waitStatus_)) return "exited with status " + std::to_string(WEXITSTATUS(waitStatus_));
    return "killed by signal " + std::to_string(WTERMSIG(waitStatus_));
}

bool ChildProcess::waitForExit(std::chrono::milliseconds deadline) {
    return testing::spinUntil([this] { return reap(); }, deadline);
}

std::optional<std::string> ChildProcess::readReportLine(std::chrono::milliseconds deadline) {
    if (reportRead_ < 0) return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        const auto newline = reportBuffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = reportBuffer_.substr(0, newline);
            reportBuffer_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd wait{reportRead_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[256];
        const ssize_t got = ::read(reportRead_, buffer, sizeof buffer);
        if (got <= 0) return std::nullopt;  // closed without a line
        reportBuffer_.append(buffer, static_cast<std::size_t>(got));
    }
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || reap()) return;
    ::kill(pid_, SIGTERM);
    if (waitForExit(grace)) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &waitStatus_, 0);
    ended_ = true;
}

std::string ChildProcess::logText() const {
    std::ifstream in(log_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace nubrio::e2e
