#include "platform/linux/shell/url_session.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <dlfcn.h>

#include <string>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform {

LinuxUrlSession::LinuxUrlSession(std::filesystem::path module) : module_(std::move(module)) {}

LinuxUrlSession::~LinuxUrlSession() = default;

platform::UrlSession* LinuxUrlSession::session() {
    if (session_ || unavailable_) return session_.get();
    // Never closed: its objects and Qt's bookkeeping of them live as long as the program.
    void* handle = dlopen(module_.c_str(), RTLD_NOW | RTLD_LOCAL);
    using Factory = platform::UrlSession* (*)();
    auto factory = handle ? reinterpret_cast<Factory>(dlsym(handle, ModuleFactory)) : nullptr;
    if (factory) session_.reset(factory());
    if (!session_) {
        unavailable_ = true;
        const char* why = dlerror();
        program_log::write("cannot make requests: " + (why ? std::string(why) : module_.string() + " made no session"));
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
