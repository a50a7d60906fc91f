#pragma once
// Runs the Qt event loop until a condition holds or a (generous) deadline passes.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

namespace nubrio::testing {

inline bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > deadline.count()) loop.quit();
    });
    check.start(5);
    if (!done()) loop.exec();
    return done();
}

// Runs the event loop for a while, for things that must not happen.
inline void spinFor(std::chrono::milliseconds duration) {
    spinUntil([] { return false; }, duration);
}

}  // namespace nubrio::testing
