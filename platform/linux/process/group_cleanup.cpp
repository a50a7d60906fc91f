#include "platform/linux/process/group_cleanup.h"

#include <QSocketNotifier>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "platform/linux/base/unique_fd.h"
#include "platform/linux/process/spawn.h"

namespace nubrio::linux_platform {

namespace {

struct GroupsBeingStopped {
    std::mutex mutex;
    std::condition_variable gone;
    int count = 0;
};

GroupsBeingStopped& beingStopped() {
    static GroupsBeingStopped* instance = new GroupsBeingStopped;  // outlives every detached thread
    return *instance;
}

}  // namespace

void waitForGroupsBeingStopped() {
    GroupsBeingStopped& groups = beingStopped();
    std::unique_lock lock(groups.mutex);
    groups.gone.wait(lock, [&] { return groups.count == 0; });
}

void stopProcessGroupInBackground(pid_t group, const StopSequence& sequence, std::function<void()> whenGone) {
    // The thread only writes to a descriptor of its own, so it touches nothing that may be gone by the
    // time it ends (the program may have ended the event loop meanwhile).
    UniqueFd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd signalEnd(done.valid() ? ::fcntl(done.get(), F_DUPFD_CLOEXEC, 0) : -1);
    bool started = false;
    if (signalEnd.valid()) {
        GroupsBeingStopped& groups = beingStopped();
        try {
            {
                std::lock_guard lock(groups.mutex);
                ++groups.count;
            }
            std::thread([group, sequence, fd = signalEnd.get(), &groups] {
                stopProcessGroup(group, sequence);
                {
                    std::lock_guard lock(groups.mutex);
                    --groups.count;
                }
                groups.gone.notify_all();
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
                ::close(fd);
            }).detach();
            signalEnd.release();  // the thread's now
            started = true;
        } catch (const std::system_error&) {
            std::lock_guard lock(groups.mutex);
            --groups.count;
        }
    }
    if (!started) {
        // No thread to be had: the main thread waits, as it would for a stop.
        stopProcessGroup(group, sequence);
        whenGone();
        return;
    }

    auto* notifier = new QSocketNotifier(done.get(), QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier, fd = done.release(), whenGone = std::move(whenGone)] {
                         notifier->setEnabled(false);
                         notifier->deleteLater();
                         ::close(fd);
                         whenGone();
                     });
}

}  // namespace nubrio::linux_platform
