#pragma once
// The main thread's queue on the Qt event loop.
#include <atomic>
#include <memory>

#include "platform/main_queue.h"

namespace nubrio::linux_platform {

class LinuxMainQueue final : public platform::MainQueue {
public:
    LinuxMainQueue();

    // Both may be called from any thread once the QApplication exists; blocks run on its thread.
    void async(platform::Block block) override;
    void after(double seconds, platform::Block block) override;

    // From now on, blocks that have not run yet are dropped, and new ones are not run.
    void close();

private:
    std::shared_ptr<std::atomic<bool>> open_;
};

}  // namespace nubrio::linux_platform
