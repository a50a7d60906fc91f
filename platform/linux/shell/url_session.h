#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/shell/module_loader.h"
#include "platform/url_session.h"

class QObject;

namespace nubrio::linux_platform {

// GETs for the readiness probe: straight to the address (no proxy, cache or redirects), the timeout a
// bound on the whole request, the body capped. Completions run on the main thread, never inside get().
//
// Qt Network makes the requests from a module of the bundle (network/): linked into the program, it
// and what it brings (Kerberos, libproxy) cost the start milliseconds before the tray icon shows. The
// module is loaded on a thread of its own (shell/module_loader), from startLoading() or else the first
// request; a request that comes while it loads waits for it within its own timeout, and fails as a
// refused one would when that passes first. Without the module every request fails; the program's log
// says why, once, and unavailableReason() too.
class LinuxUrlSession final : public platform::UrlSession {
public:
    static constexpr std::size_t MaximumBodySize = 64 * 1024;
    // What the module exports: a new session, which the caller owns.
    static constexpr const char* ModuleFactory = "nubrio_network_create_url_session";

    explicit LinuxUrlSession(module_loader::Module module);
    ~LinuxUrlSession() override;
    LinuxUrlSession(const LinuxUrlSession&) = delete;
    LinuxUrlSession& operator=(const LinuxUrlSession&) = delete;

    // Starts loading the module off the main thread, the first time only. Main thread.
    void startLoading();

    void get(const platform::UrlRequest& request, Completion completion) override;
    std::optional<std::string> unavailableReason() override;

private:
    using Factory = platform::UrlSession* (*)();
    struct Waiting {
        platform::UrlRequest request;
        Completion completion;
        std::chrono::steady_clock::time_point since;
    };
    // Between the loading thread and the main thread, which may outlive this session.
    struct Relay;

    void loaded(Factory factory, std::string failure);
    void expire(std::uint64_t id);

    module_loader::Module module_;
    enum class State { NotStarted, Loading, Loaded, Failed } state_ = State::NotStarted;
    std::unique_ptr<platform::UrlSession> session_;
    std::string failure_;
    std::map<std::uint64_t, Waiting> waiting_;
    std::uint64_t nextId_ = 0;
    std::chrono::steady_clock::time_point loadingSince_;
    // Context of queued deliveries: they die with this object.
    std::unique_ptr<QObject> context_;
    std::shared_ptr<Relay> relay_;
};

}  // namespace nubrio::linux_platform
