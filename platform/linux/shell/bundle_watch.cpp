#include "platform/linux/shell/bundle_watch.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>

#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"

namespace nubrio::linux_platform {

namespace {

// What an installer does to a folder's entries, and to the folder itself. Reading a file is not among
// them, so the worker's and the program's own use of the bundle goes unnoticed.
constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                             IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

BundleWatch::BundleWatch(const std::filesystem::path& bundle, std::function<void()> changed, int quietMs)
    : changed_(std::move(changed)), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!inotify_.valid()) {
        program_log::write("the bundle is not watched: " + systemError(errno, "inotify").message);
        return;
    }
    const auto watch = [this](const std::filesystem::path& folder) {
        if (::inotify_add_watch(inotify_.get(), folder.c_str(), kEvents) < 0)
            program_log::write("not watched: " + systemError(errno, folder.string()).message);
    };
    watch(bundle);
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(bundle, error), end; !error && it != end; it.increment(error))
        if (it->is_directory(error) && !it->is_symlink(error)) watch(it->path());

    quiet_ = std::make_unique<QTimer>();
    quiet_->setSingleShot(true);
    quiet_->setInterval(quietMs);
    QObject::connect(quiet_.get(), &QTimer::timeout, quiet_.get(), [this] { changed_(); });
    notifier_ = std::make_unique<QSocketNotifier>(inotify_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readEvents(); });
}

BundleWatch::~BundleWatch() = default;

void BundleWatch::readEvents() {
    // What changed does not matter, only that something did: the bundle is looked at as a whole.
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (any) quiet_->start();  // from now again
}

}  // namespace nubrio::linux_platform
