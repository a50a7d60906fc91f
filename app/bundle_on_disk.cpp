// An upgrade replaces the bundle's files under the running program, a removal deletes them. What the
// program runs and what it would start next must not part ways: its worker has to prove the version
// read at the start, and nothing may go on serving from deleted files.
#include "app/check_mode.h"
#include "app/launch_flags.h"
#include "app/nubrio.h"
#include "app/run_application.h"

namespace nubrio {

namespace {
// A program file missing for this long has been removed, not replaced by an installer that deletes
// before it copies.
constexpr double RemovalGraceSeconds = 5.0;
}  // namespace

Nubrio::BundleOnDisk Nubrio::bundleOnDisk() {
    switch (platform_.bundle.executableOnDisk()) {
        case platform::ExecutableOnDisk::Missing: return BundleOnDisk::Gone;
        case platform::ExecutableOnDisk::Replaced: return BundleOnDisk::Replaced;
        case platform::ExecutableOnDisk::Same: break;
    }
    // The program file may stay and its version (the worker's with it) change all the same.
    const std::string now = readVersion(platform_.bundle);
    if (now == version) return BundleOnDisk::Same;
    // A bundle that names no version any more is on its way out, and could prove no worker.
    return now.empty() ? BundleOnDisk::Gone : BundleOnDisk::Replaced;
}

void Nubrio::watchBundle() {
    std::weak_ptr<Nubrio> weak = weak_from_this();
    platform_.bundle.watchForChanges([weak] {
        if (auto self = weak.lock()) self->bundleChanged(false);
    });
}

void Nubrio::bundleChanged(bool graceOver) {
    std::weak_ptr<Nubrio> weak = weak_from_this();
    switch (bundleOnDisk()) {
        case BundleOnDisk::Same: return;
        case BundleOnDisk::Replaced:
            // Once no alert is open and no command runs: the restart then interrupts nothing but the
            // worker, which the new version replaces anyway.
            platform_.mainQueue.asyncWhenIdle([weak] {
                auto self = weak.lock();
                if (!self) return;
                if (self->bundleOnDisk() == BundleOnDisk::Replaced)
                    self->relaunch(self->openWhenReady);
                else
                    self->bundleChanged(false);  // changed again meanwhile
            });
            return;
        case BundleOnDisk::Gone:
            if (graceOver) {
                // As after the uninstall: the worker is stopped on the way out.
                platform_.application.terminate();
                return;
            }
            platform_.mainQueue.after(RemovalGraceSeconds, [weak] {
                if (auto self = weak.lock()) self->bundleChanged(true);
            });
            return;
    }
}

bool Nubrio::workerMayStart(bool openEditor) {
    // The check runs once, briefly, and its answer is whether this program's worker answers.
    if (inCheckMode()) return true;
    switch (bundleOnDisk()) {
        case BundleOnDisk::Same: return true;
        case BundleOnDisk::Replaced:
            // Its worker would be the new version's, which this program could never accept.
            relaunch(openEditor);
            return false;
        case BundleOnDisk::Gone: {
            // No worker from deleted files, and none that fails to launch from a missing one: the
            // grace decides between the removal's end and a bundle back in place.
            std::weak_ptr<Nubrio> weak = weak_from_this();
            platform_.mainQueue.after(RemovalGraceSeconds, [weak, openEditor] {
                auto self = weak.lock();
                if (!self) return;
                if (self->bundleOnDisk() == BundleOnDisk::Gone) {
                    self->platform_.application.terminate();
                    return;
                }
                if (self->worker && self->worker->isRunning()) return;  // started some other way since
                self->startWorker(openEditor);
            });
            return false;
        }
    }
    return true;
}

void Nubrio::relaunch(bool openEditor) {
    // Back as it was: in the background, unless the editor was waiting to open.
    std::vector<std::string> arguments;
    if (!openEditor) arguments.push_back(launch_flags::Background);
    platform_.application.relaunch(arguments);
}

}  // namespace nubrio
