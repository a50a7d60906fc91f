#pragma once
#include <functional>

namespace nubrio::platform {

using Block = std::function<void()>;

// The main thread's queue: blocks run on the main thread, later, in submission order.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(Block block) = 0;
    // Runs the block on the main thread once `seconds` have passed.
    virtual void after(double seconds, Block block) = 0;
    // Runs the block on the main thread at the next moment that nothing waits on the user: no alert
    // is open, and no command (of the menu, of the launcher, a link handed over) is being run.
    virtual void asyncWhenIdle(Block block) = 0;
};

}  // namespace nubrio::platform
