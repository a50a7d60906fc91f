#pragma once
// Work that can wait until the tray shows the icon (writing the launcher's entry and icons): run on the
// event loop a moment after the first status item is made, when a tray has fetched the icon, so that
// a start does not keep the icon waiting for it.
#include <functional>
#include <vector>

namespace nubrio::linux_platform {

class AfterIcon {
public:
    // How long after the first status item the chores run: trays fetch an item's icon within a few
    // hundred milliseconds of its registration, even on a busy machine.
    static constexpr int kDelayMs = 2000;

    // Runs `chore` once, on the event loop, kDelayMs after the first status item (or from now, when
    // there is one already). A chore that has not run when the program ends does not run.
    void add(std::function<void()> chore);
    // The first status item has been made.
    void itemMade();

private:
    static void schedule(std::function<void()> chore);

    std::vector<std::function<void()>> waiting_;
    bool itemMade_ = false;
};

}  // namespace nubrio::linux_platform
