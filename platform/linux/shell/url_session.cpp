#include "platform/linux/shell/url_session.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform {

struct LinuxUrlSession::Relay {
    std::mutex mutex;
    LinuxUrlSession* session = nullptr;  // null once the session is gone
};

namespace {

// A reason goes on one line of the log and of the check's output, whatever the paths in it hold.
std::string oneLine(const std::string& text) {
    static const char* const digits = "0123456789abcdef";
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            line += "\\x";
            line += digits[byte >> 4];
            line += digits[byte & 0xf];
        } else {
            line += c;
        }
    }
    return line;
}

// The whole request's time, as the module counts it.
double budget(const platform::UrlRequest& request) { return request.timeoutSeconds > 0 ? request.timeoutSeconds : 60.0; }

}  // namespace

LinuxUrlSession::LinuxUrlSession(module_loader::Module module)
    : module_(std::move(module)), context_(std::make_unique<QObject>()), relay_(std::make_shared<Relay>()) {
    relay_->session = this;
}

LinuxUrlSession::~LinuxUrlSession() {
    // A load still running finds nobody to tell.
    const std::lock_guard lock(relay_->mutex);
    relay_->session = nullptr;
}

void LinuxUrlSession::startLoading() {
    if (state_ != State::NotStarted) return;
    state_ = State::Loading;
    loadingSince_ = std::chrono::steady_clock::now();
    // Detached: a trial that hangs is stopped within its bound, and the thread ends then.
    std::thread([module = module_, relay = relay_] {
        std::string failure;
        const auto factory = reinterpret_cast<Factory>(module_loader::load(module, ModuleFactory, failure));
        const std::lock_guard lock(relay->mutex);
        if (LinuxUrlSession* session = relay->session) {
            // Delivered only while the context, and with it the session, exists.
            QMetaObject::invokeMethod(
                session->context_.get(),
                [session, factory, failure = std::move(failure)]() mutable { session->loaded(factory, std::move(failure)); },
                Qt::QueuedConnection);
        }
    }).detach();
}

void LinuxUrlSession::loaded(Factory factory, std::string failure) {
    if (factory) session_.reset(factory());
    if (session_) {
        state_ = State::Loaded;
    } else {
        state_ = State::Failed;
        if (failure.empty()) failure = module_.file.string() + " made no session";
        failure_ = oneLine(failure);
        program_log::write("cannot make requests: " + failure_);
    }
    // What waited goes on with the time it has left, or fails now, from the event loop.
    const auto now = std::chrono::steady_clock::now();
    for (auto& [id, waiting] : std::exchange(waiting_, {})) {
        const double left = budget(waiting.request) - std::chrono::duration<double>(now - waiting.since).count();
        if (session_ && left > 0) {
            platform::UrlRequest request = waiting.request;
            request.timeoutSeconds = left;
            session_->get(request, std::move(waiting.completion));
        } else if (waiting.completion) {
            waiting.completion(std::nullopt);
        }
    }
}

void LinuxUrlSession::expire(std::uint64_t id) {
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) return;
    Completion completion = std::move(found->second.completion);
    waiting_.erase(found);
    if (completion) completion(std::nullopt);
}

void LinuxUrlSession::get(const platform::UrlRequest& request, Completion completion) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application && QThread::currentThread() != application->thread()) {
        QMetaObject::invokeMethod(
            application, [this, request, completion = std::move(completion)]() mutable { get(request, std::move(completion)); },
            Qt::QueuedConnection);
        return;
    }
    startLoading();
    if (state_ == State::Loaded) {
        session_->get(request, std::move(completion));
        return;
    }
    if (state_ == State::Loading) {
        // Waits for the module within the request's own timeout.
        const std::uint64_t id = nextId_++;
        waiting_.emplace(id, Waiting{request, std::move(completion), std::chrono::steady_clock::now()});
        const double milliseconds = std::clamp(std::ceil(budget(request) * 1000.0), 1.0, 2147483647.0);
        QTimer::singleShot(static_cast<int>(milliseconds), Qt::PreciseTimer, context_.get(), [this, id] { expire(id); });
        return;
    }
    // As a request that failed: later, on the main thread.
    if (!completion) return;
    QMetaObject::invokeMethod(context_.get(), [completion = std::move(completion)] { completion(std::nullopt); },
                              Qt::QueuedConnection);
}

std::optional<std::string> LinuxUrlSession::unavailableReason() {
    switch (state_) {
        case State::Failed: return failure_;
        case State::Loading: {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - loadingSince_);
            return oneLine("cannot load " + module_.file.string() + ": still loading after " +
                           std::to_string(seconds.count()) + " s");
        }
        default: return std::nullopt;
    }
}

}  // namespace nubrio::linux_platform
