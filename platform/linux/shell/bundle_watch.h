#pragma once
// Changes to the bundle's files, as an upgrade (files renamed into place) or a removal (files and
// folders deleted) makes them: inotify on each of its folders, reported once a burst has been quiet
// for a moment, so that an installer's files are all in place, or all gone, when they are looked at.
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/linux/base/unique_fd.h"

class QSocketNotifier;
class QTimer;

namespace nubrio::linux_platform {

class BundleWatch {
public:
    // How long the folders must be quiet before `changed` runs: an installer renames its files in
    // quick succession, and a file being written keeps the folder busy until it is closed.
    static constexpr int kQuietMs = 1000;

    // Needs the QApplication. Watches the bundle folder and every folder in it; `changed` runs on
    // the event loop. A folder that cannot be watched is noted in the program's log.
    BundleWatch(const std::filesystem::path& bundle, std::function<void()> changed, int quietMs = kQuietMs);
    ~BundleWatch();
    BundleWatch(const BundleWatch&) = delete;
    BundleWatch& operator=(const BundleWatch&) = delete;

private:
    void readEvents();

    std::function<void()> changed_;
    UniqueFd inotify_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> quiet_;
};

}  // namespace nubrio::linux_platform
