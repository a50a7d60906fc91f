#include "fake_platform.h"

#include <algorithm>
#include <stdexcept>

namespace nubrio::fake {

void FakeQueueAndClock::after(double seconds, platform::Block block) {
    timers_.push_back({now_ + seconds, nextOrder_++, std::move(block)});
}

void FakeQueueAndClock::runUntilIdle() {
    for (;;) {
        if (!ready_.empty()) {
            platform::Block block = std::move(ready_.front());
            ready_.pop_front();
            block();
        } else if (!whenIdle_.empty() && !(busy && busy())) {
            platform::Block block = std::move(whenIdle_.front());
            whenIdle_.pop_front();
            block();
        } else {
            return;
        }
    }
}

void FakeQueueAndClock::advance(double seconds) {
    const double end = now_ + seconds;
    runUntilIdle();
    for (;;) {
        auto next = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == timers_.end() || next->due > end) break;
        now_ = std::max(now_, next->due);
        platform::Block block = std::move(next->block);
        timers_.erase(next);
        block();
        runUntilIdle();
    }
    now_ = end;
}

std::shared_ptr<platform::Task> FakeTaskFactory::makeTask() {
    auto task = std::make_shared<FakeTask>(*this);
    task->behaviour = behaviour;
    tasks.push_back(task);
    return task;
}

std::shared_ptr<FakeTask> FakeTaskFactory::byPid(int pid) const {
    for (const auto& task : tasks)
        if (task->launched && task->pid == pid) return task;
    return nullptr;
}

std::optional<Error> FakeTask::launch() {
    if (!factory_.launchErrors.empty()) {
        Error error = factory_.launchErrors.front();
        factory_.launchErrors.pop_front();
        return error;
    }
    if (factory_.folderExists && !factory_.folderExists(directory))
        return Error{"POSIX", 2, "No such file or directory"};
    launched = true;
    running_ = true;
    pid = factory_.nextPid++;
    return std::nullopt;
}

bool FakeTask::isRunning() {
    if (running_ && endsAt && factory_.clock && factory_.clock->now() >= *endsAt) endAsPending();
    return running_;
}

void FakeTask::endAsPending() {
    if (killed)
        end(9, platform::TerminationReason::UncaughtSignal);
    else
        end(0);
}

void FakeTask::terminate() {
    ++terminateCalls;
    signal(15);
}

void FakeTask::waitUntilExit() {
    ++waitCalls;
    if (!running_) return;
    if (!endsAt) throw std::logic_error("waitUntilExit on a process that never ends");
    if (factory_.clock) factory_.clock->passTime(std::max(0.0, *endsAt - factory_.clock->now()));
    endAsPending();
    if (factory_.waitRunsQueuedWork && factory_.clock) factory_.clock->runUntilIdle();
}

void FakeTask::end(int status, platform::TerminationReason reason) {
    if (!running_) return;
    running_ = false;
    endsAt.reset();
    status_ = status;
    reason_ = reason;
    if (handler_) handler_(shared_from_this());
}

void FakeTask::signal(int signalNumber) {
    if (!running_) return;
    if (signalNumber == 9) {
        if (behaviour.secondsToEndAfterSigkill > 0 && factory_.clock) {
            killed = true;
            endsAt = factory_.clock->now() + behaviour.secondsToEndAfterSigkill;
        } else {
            end(9, platform::TerminationReason::UncaughtSignal);
        }
    } else if (signalNumber == 15 && behaviour.endsOnSigterm) {
        if (behaviour.secondsToEndAfterSigterm <= 0)
            end(0);
        else if (!endsAt && factory_.clock)
            endsAt = factory_.clock->now() + behaviour.secondsToEndAfterSigterm;
    }
}

void FakeProcess::exit(int status) {
    ++exitCalls;
    if (!exitStatus) exitStatus = status;
}

int FakeProcess::kill(int target, int signal) {
    kills.emplace_back(target, signal);
    if (whileKilling) whileKilling(target, signal);
    if (!tasks) return -1;
    std::shared_ptr<FakeTask> task = tasks->byPid(target < 0 ? -target : target);
    if (!task || !task->isRunning()) return -1;
    if (target < 0 && task->behaviour.leftItsGroup) return -1;
    task->signal(signal);
    return 0;
}

void FakeProcess::usleep(unsigned microseconds) {
    ++sleeps;
    if (clock) clock->passTime(microseconds / 1e6);
}

platform::InfoValue FakeBundle::infoValue(const std::string& key) {
    auto found = info.find(key);
    return found == info.end() ? platform::InfoValue{} : found->second;
}

bool FakeFileManager::folderExists(const std::filesystem::path& path) const {
    for (std::filesystem::path folder = home;; folder = folder.parent_path()) {
        if (folder == path) return true;
        if (folder == folder.parent_path()) break;
    }
    return madeFolders.contains(path);
}

std::optional<Error> FakeFileManager::createDirectory(const std::filesystem::path& path, bool withIntermediates) {
    if (createError) return createError;
    if (!withIntermediates && !folderExists(path.parent_path()))
        return Error{"POSIX", 2, path.string() + ": No existe el fichero o el directorio"};
    for (std::filesystem::path folder = path; !folderExists(folder); folder = folder.parent_path())
        madeFolders.insert(folder);
    created.push_back(path);
    return std::nullopt;
}

std::filesystem::path FakeFileManager::resolvingSymlinks(const std::filesystem::path& path) {
    // A link anywhere along the path: the part below it moves to the target.
    for (const auto& [link, target] : links) {
        const auto relative = path.lexically_relative(link);
        if (!relative.empty() && *relative.begin() != "..") return (target / relative).lexically_normal();
    }
    return path;
}

std::optional<Error> FakeFileManager::trashItem(const std::filesystem::path& path) {
    if (trashError) return trashError;
    trashed.push_back(path);
    return std::nullopt;
}

std::optional<std::string> FakeFileManager::readUtf8(const std::filesystem::path& path, std::size_t maxBytes) {
    reads.push_back(path);
    auto found = files.find(path);
    if (found == files.end() || found->second.size() > maxBytes) return std::nullopt;
    return found->second;
}

void FakeUrlSession::get(const platform::UrlRequest& request, Completion completion) {
    requests.push_back(request);
    pending_.push_back(std::move(completion));
}

void FakeUrlSession::answer(std::optional<std::string> body) {
    if (pending_.empty()) throw std::logic_error("no request in flight");
    Completion completion = std::move(pending_.front());
    pending_.pop_front();
    completion(std::move(body));
}

std::shared_ptr<platform::StatusItem> FakeStatusBar::statusItemWithLength(double length) {
    auto item = std::make_shared<FakeStatusItem>();
    item->length = length;
    item->hasButton = itemsHaveButtons;
    items.push_back(item);
    return item;
}

int FakeAlerts::runModal(const platform::Alert& alert) {
    shown.push_back(alert);
    ++open;
    if (whileShown) whileShown(alert);
    --open;
    if (results.empty()) return platform::AlertFirstButtonReturn;
    int result = results.front();
    results.pop_front();
    if (result == Dismiss)
        return platform::AlertFirstButtonReturn +
               static_cast<int>(alert.dismissButton < alert.buttons.size() ? alert.dismissButton : 0);
    return result;
}

std::vector<int> FakeWorkspace::runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) {
    runningQueries.push_back(bundleIdentifier);
    return running;
}

std::optional<platform::ApplicationRef> FakeWorkspace::urlForApplicationToOpenUrl(const std::string& url) {
    defaultBrowserQueries.push_back(url);
    return defaultBrowser;
}

std::optional<std::string> FakeWorkspace::bundleIdentifierOfApplication(const platform::ApplicationRef& application) {
    auto found = identifiers.find(application.id);
    if (found == identifiers.end()) return std::nullopt;
    return found->second;
}

std::optional<platform::ApplicationRef> FakeWorkspace::urlForApplicationWithBundleIdentifier(const std::string& id) {
    auto found = installed.find(id);
    if (found == installed.end()) return std::nullopt;
    return found->second;
}

void FakeWorkspace::openApplication(const platform::ApplicationRef& application,
                                    const platform::OpenConfiguration& configuration, OpenCompletion completion) {
    opened.push_back({application, configuration});
    if (completion) completion(std::nullopt);
}

void FakeWorkspace::openUrlsWithApplication(const std::vector<std::string>& urls,
                                            const platform::ApplicationRef& application,
                                            const platform::OpenConfiguration& configuration) {
    openedUrls.push_back({urls, {application, configuration}});
}

bool FakeWorkspace::openUrl(const std::string& url) {
    openedPages.push_back(url);
    return true;
}

bool FakeWorkspace::openFolder(const std::filesystem::path& folder) {
    openedFolders.push_back(folder);
    return true;
}

void FakeWorkspace::install(const std::string& bundleIdentifier, const std::string& desktopId) {
    identifiers[desktopId] = bundleIdentifier;
    installed[bundleIdentifier] = platform::ApplicationRef{desktopId};
}

std::optional<Error> FakeLoginItems::registerApp() {
    calls.push_back("register");
    if (registerError) return registerError;
    current = afterRegister;
    return std::nullopt;
}

std::optional<Error> FakeLoginItems::unregisterApp() {
    calls.push_back("unregister");
    if (unregisterError) return unregisterError;
    current = platform::LoginItemStatus::NotRegistered;
    return std::nullopt;
}

void FakeApplication::run() {
    auto target = delegate.lock();
    ranWithDelegate = target != nullptr;
    if (target) target->applicationDidFinishLaunching();
}

void FakeApplication::terminate() {
    ++terminations;
    if (terminations > 1 || !relaunches.empty()) return;
    if (whileTerminating) whileTerminating();
    if (auto target = delegate.lock()) target->applicationWillTerminate();
}

void FakeApplication::relaunch(const std::vector<std::string>& arguments) {
    if (terminations > 0 || !relaunches.empty()) return;
    relaunches.push_back(arguments);
    if (auto target = delegate.lock()) target->applicationWillTerminate();
}

FakePlatform::FakePlatform()
    : platform{application, queue, queue, process, bundle, files, tasks, url, statusBar, alerts, workspace, loginItems, screen, words} {
    tasks.clock = &queue;
    process.tasks = &tasks;
    process.clock = &queue;
    workspace.running = {process.pid};
    queue.busy = [this] { return alerts.open > 0; };
}

}  // namespace nubrio::fake
