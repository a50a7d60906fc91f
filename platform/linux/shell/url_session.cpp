#include "platform/linux/shell/url_session.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <string>

#include "platform/linux/base/loaded_library.h"
#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform {

LinuxUrlSession::LinuxUrlSession(std::filesystem::path module) : module_(std::move(module)) {}

LinuxUrlSession::~LinuxUrlSession() = default;

platform::UrlSession* LinuxUrlSession::session() {
    if (session_ || unavailable_) return session_.get();
    std::string failure;
    using Factory = platform::UrlSession* (*)();
    void* handle = loaded_library::open(module_.c_str(), failure);
    auto factory = handle ? loaded_library::find<Factory>(handle, ModuleFactory, failure) : nullptr;
    if (factory) session_.reset(factory());
    if (!session_) {
        unavailable_ = true;
        if (failure.empty()) failure = module_.string() + " made no session";
        program_log::write("cannot make requests: " + failure);
    }
    return session_.get();
}

void LinuxUrlSession::get(const platform::UrlRequest& request, Completion completion) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application && QThread::currentThread() != application->thread()) {
        QMetaObject::invokeMethod(
            application, [this, request, completion = std::move(completion)]() mutable { get(request, std::move(completion)); },
            Qt::QueuedConnection);
        return;
    }
    if (platform::UrlSession* loaded = session()) {
        loaded->get(request, std::move(completion));
        return;
    }
    // As a request that failed: later, on the main thread.
    if (!completion) return;
    if (!application) {
        completion(std::nullopt);
        return;
    }
    QMetaObject::invokeMethod(application, [completion = std::move(completion)] { completion(std::nullopt); },
                              Qt::QueuedConnection);
}

}  // namespace nubrio::linux_platform
