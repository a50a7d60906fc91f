#pragma once
// The main thread's queue on the Qt event loop.
#include <atomic>
#include <memory>

#include "platform/main_queue.h"

namespace nubrio::linux_platform {

class RequestQueue;

class LinuxMainQueue final : public platform::MainQueue {
public:
    // Blocks for an idle moment run as requests of `requests` (one at a time, never in an alert);
    // without it, as soon as the event loop gets to them.
    explicit LinuxMainQueue(RequestQueue* requests = nullptr);

    // Both may be called from any thread once the QApplication exists; blocks run on its thread.
    void async(platform::Block block) override;
    void after(double seconds, platform::Block block) override;
    // Main thread only.
    void asyncWhenIdle(platform::Block block) override;

    // From now on, blocks that have not run yet are dropped, and new ones are not run.
    void close();

private:
    std::shared_ptr<std::atomic<bool>> open_;
    RequestQueue* requests_;
    unsigned long long idleBlocks_ = 0;
};

}  // namespace nubrio::linux_platform
