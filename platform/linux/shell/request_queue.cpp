#include "platform/linux/shell/request_queue.h"

#include <QMetaObject>

#include <algorithm>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform {

RequestQueue::RequestQueue(std::function<bool()> terminating)
    : terminating_(std::move(terminating)), context_(std::make_unique<QObject>()) {}

RequestQueue::~RequestQueue() = default;

bool RequestQueue::submit(const std::string& key, std::function<void()> run, std::vector<std::string> links) {
    return take(Request{key, std::move(run), std::move(links)}, true);
}

bool RequestQueue::submitOwn(const std::string& key, std::function<void()> run) {
    return take(Request{key, std::move(run), {}}, false);
}

bool RequestQueue::take(Request request, bool bounded) {
    if (terminating_ && terminating_()) return false;
    // A user's request brings the open alert to the front; the program's own work does not.
    if (bounded && alertsOpen_ > 0) bringAlertToFront();
    if (isRunning_ && running_ == request.key) return true;
    if (std::any_of(waiting_.begin(), waiting_.end(), [&](const Request& other) { return other.key == request.key; }))
        return true;
    if (bounded && waiting_.size() >= kMaxWaiting) {
        if (!dropping_) program_log::write("too many requests at once: the surplus is dropped");
        dropping_ = true;
        return true;
    }
    dropping_ = false;
    waiting_.push_back(std::move(request));
    scheduleNext();
    return true;
}

void RequestQueue::alertOpened(std::function<void()> bringToFront) {
    ++alertsOpen_;
    alertFronts_.push_back(std::move(bringToFront));
}

std::vector<std::string> RequestQueue::waitingLinks() const {
    std::vector<std::string> links;
    for (const Request& request : waiting_) links.insert(links.end(), request.links.begin(), request.links.end());
    return links;
}

void RequestQueue::alertClosed() {
    if (alertsOpen_ > 0) --alertsOpen_;
    if (!alertFronts_.empty()) alertFronts_.pop_back();
    scheduleNext();
}

// Once per turn of the event loop however many requests arrive, and after the one that asks (a
// hand-over waiting for its acknowledgement) has been answered.
void RequestQueue::bringAlertToFront() {
    if (frontScheduled_) return;
    frontScheduled_ = true;
    QMetaObject::invokeMethod(
        context_.get(),
        [this] {
            frontScheduled_ = false;
            if (!alertFronts_.empty() && alertFronts_.back()) alertFronts_.back()();
        },
        Qt::QueuedConnection);
}

// Always through the event loop: the one that asks (a hand-over, a menu's signal, an alert closing)
// finishes first.
void RequestQueue::scheduleNext() {
    if (scheduled_ || waiting_.empty()) return;
    scheduled_ = true;
    QMetaObject::invokeMethod(
        context_.get(),
        [this] {
            scheduled_ = false;
            runNext();
        },
        Qt::QueuedConnection);
}

void RequestQueue::runNext() {
    if (terminating_ && terminating_()) {
        waiting_.clear();
        return;
    }
    // Called again when the alert closes or the running request returns.
    if (isRunning_ || alertsOpen_ > 0 || waiting_.empty()) return;
    Request request = std::move(waiting_.front());
    waiting_.pop_front();
    isRunning_ = true;
    running_ = request.key;
    request.run();
    isRunning_ = false;
    running_.clear();
    scheduleNext();
}

}  // namespace nubrio::linux_platform
