#include "platform/linux/shell/application.h"

#include <QApplication>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <utility>
#include <unistd.h>

namespace nubrio::linux_platform {

namespace {

constexpr std::array<int, 3> kTerminationSignals = {SIGTERM, SIGINT, SIGHUP};

// Self-pipe: the handler only writes a byte; the event loop reads it on the main thread. It lives
// for the whole process, so a late signal never writes to a closed descriptor.
int signalPipe[2] = {-1, -1};
struct sigaction previousActions[kTerminationSignals.size()];

void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void openSignalPipe() {
    if (signalPipe[0] >= 0) return;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot create the signal pipe");
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kTerminationSignals.size(); ++i)
        ::sigaction(kTerminationSignals[i], &action, &previousActions[i]);
}

void restoreSignalHandlers() {
    for (std::size_t i = 0; i < kTerminationSignals.size(); ++i)
        ::sigaction(kTerminationSignals[i], &previousActions[i], nullptr);
}

}  // namespace

LinuxApplication::LinuxApplication() : context_(std::make_unique<QObject>()) {
    openSignalPipe();
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { signalArrived(); });
    // Signals that came before this object are not ours to act on.
    char drain[64];
    while (::read(signalPipe[0], drain, sizeof drain) > 0) {
    }
    installSignalHandlers();
}

LinuxApplication::~LinuxApplication() { restoreSignalHandlers(); }

void LinuxApplication::setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void LinuxApplication::setActivationPolicy(platform::ActivationPolicy policy) {
    // An accessory application has no window of its own: closing an alert must not end it.
    QApplication::setQuitOnLastWindowClosed(policy != platform::ActivationPolicy::Accessory);
}

void LinuxApplication::run() {
    if (terminating_) return;
    running_ = true;
    if (!launchHeld_) QMetaObject::invokeMethod(context_.get(), [this] { finishLaunching(); }, Qt::QueuedConnection);
    QApplication::exec();
}

void LinuxApplication::holdLaunch() { launchHeld_ = !launched_; }

void LinuxApplication::releaseLaunch() {
    if (!launchHeld_) return;
    launchHeld_ = false;
    if (running_) QMetaObject::invokeMethod(context_.get(), [this] { finishLaunching(); }, Qt::QueuedConnection);
}

void LinuxApplication::finishLaunching() {
    if (terminating_ || launched_) return;
    launched_ = true;
    std::shared_ptr<platform::ApplicationDelegate> delegate = delegate_.lock();
    if (!delegate) return;
    if (launchStart_) launchStart_();
    delegate->applicationDidFinishLaunching();
    while (!pendingLinks_.empty()) {
        if (terminating_) return;
        const std::vector<std::string> links = std::move(pendingLinks_.front());
        pendingLinks_.pop_front();
        delegate->applicationOpenUrls(links);
    }
    for (std::function<void()>& step : std::exchange(afterLaunch_, {})) afterLaunch(std::move(step));
}

void LinuxApplication::afterLaunch(std::function<void()> step) {
    if (terminating_) return;
    if (!launched_) {
        afterLaunch_.push_back(std::move(step));
        return;
    }
    QMetaObject::invokeMethod(
        context_.get(),
        [this, step = std::move(step)] {
            if (!terminating_) step();
        },
        Qt::QueuedConnection);
}

bool LinuxApplication::openUrls(std::vector<std::string> links) {
    if (terminating_) return false;
    pendingLinks_.push_back(std::move(links));
    if (!launched_) return true;
    // One delivery per call, each taking the oldest links still waiting.
    QMetaObject::invokeMethod(
        context_.get(),
        [this] {
            if (terminating_ || pendingLinks_.empty()) return;
            const std::vector<std::string> links = std::move(pendingLinks_.front());
            pendingLinks_.pop_front();
            if (std::shared_ptr<platform::ApplicationDelegate> delegate = delegate_.lock())
                delegate->applicationOpenUrls(links);
        },
        Qt::QueuedConnection);
    return true;
}

bool LinuxApplication::openUrlsNow(const std::vector<std::string>& links) {
    if (terminating_) return false;
    if (!launched_) return openUrls(links);
    if (std::shared_ptr<platform::ApplicationDelegate> delegate = delegate_.lock()) delegate->applicationOpenUrls(links);
    return true;
}

void LinuxApplication::setTerminationCleanup(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }

void LinuxApplication::setRelaunchHandler(RelaunchHandler handler) { relaunch_ = std::move(handler); }

void LinuxApplication::relaunch(const std::vector<std::string>& arguments) {
    if (terminating_) return;
    if (!relaunch_) return terminate();
    terminating_ = true;
    std::vector<std::string> links;
    for (const std::vector<std::string>& waiting : pendingLinks_) links.insert(links.end(), waiting.begin(), waiting.end());
    pendingLinks_.clear();
    afterLaunch_.clear();
    if (std::shared_ptr<platform::ApplicationDelegate> delegate = delegate_.lock())
        delegate->applicationWillTerminate();
    relaunch_(arguments, links);
    // Still here: the program could not be started, and this one ends as it would have.
    if (cleanup_) cleanup_();
    QCoreApplication::exit(0);
}

void LinuxApplication::terminate() {
    if (terminating_) return;
    terminating_ = true;
    pendingLinks_.clear();
    afterLaunch_.clear();
    if (std::shared_ptr<platform::ApplicationDelegate> delegate = delegate_.lock())
        delegate->applicationWillTerminate();
    if (cleanup_) cleanup_();
    // Ends nested loops (a modal alert) as well as the main one, so run() returns.
    QCoreApplication::exit(0);
}

void LinuxApplication::signalArrived() {
    char drain[64];
    bool any = false;
    while (::read(signalPipe[0], drain, sizeof drain) > 0) any = true;
    if (any) terminate();
}

}  // namespace nubrio::linux_platform
