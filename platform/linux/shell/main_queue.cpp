#include "platform/linux/shell/main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "platform/linux/shell/request_queue.h"

namespace nubrio::linux_platform {

namespace {

std::chrono::milliseconds delayFor(double seconds) {
    if (!(seconds > 0)) return std::chrono::milliseconds(0);  // also NaN
    const double ms = std::ceil(seconds * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::chrono::milliseconds(std::numeric_limits<int>::max());
    return std::chrono::milliseconds(static_cast<long long>(ms));
}

}  // namespace

LinuxMainQueue::LinuxMainQueue(RequestQueue* requests)
    : open_(std::make_shared<std::atomic<bool>>(true)), requests_(requests) {}

void LinuxMainQueue::async(platform::Block block) {
    // Queued invocations on one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(
        qApp,
        [open = open_, block = std::move(block)] {
            if (open->load()) block();
        },
        Qt::QueuedConnection);
}

void LinuxMainQueue::after(double seconds, platform::Block block) {
    const std::chrono::milliseconds delay = delayFor(seconds);
    auto start = [open = open_, delay, block = std::move(block)] {
        // A precise timer: the probe's one-second retries must not drift by the coarse timer's 5 %.
        QTimer::singleShot(delay, Qt::PreciseTimer, qApp, [open, block] {
            if (open->load()) block();
        });
    };
    // A timer belongs to the thread that starts it, so one started elsewhere is started from the
    // main thread instead.
    if (QThread::currentThread() == qApp->thread())
        start();
    else
        QMetaObject::invokeMethod(qApp, std::move(start), Qt::QueuedConnection);
}

void LinuxMainQueue::asyncWhenIdle(platform::Block block) {
    if (!requests_) return async(std::move(block));
    // A key of its own: such a block never joins a request of the user's, nor another one.
    requests_->submitOwn("idle " + std::to_string(++idleBlocks_), [open = open_, block = std::move(block)] {
        if (open->load()) block();
    });
}

void LinuxMainQueue::close() { open_->store(false); }

}  // namespace nubrio::linux_platform
