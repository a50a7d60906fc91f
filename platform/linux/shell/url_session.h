#pragma once
#include <cstddef>
#include <filesystem>
#include <memory>

#include "platform/url_session.h"

namespace nubrio::linux_platform {

// GETs for the readiness probe: straight to the address (no proxy, cache or redirects), the timeout a
// bound on the whole request, the body capped. Completions run on the main thread, never inside get().
//
// Qt Network makes the requests from a module of the bundle (network/), loaded on the first one: linked
// into the program, it and what it brings (Kerberos, libproxy) cost the start milliseconds before the
// tray icon shows. Without the module every request fails; the program's log says why, once.
class LinuxUrlSession final : public platform::UrlSession {
public:
    static constexpr std::size_t MaximumBodySize = 64 * 1024;
    // What the module exports: a new session, which the caller owns.
    static constexpr const char* ModuleFactory = "nubrio_network_create_url_session";

    explicit LinuxUrlSession(std::filesystem::path module);
    ~LinuxUrlSession() override;
    LinuxUrlSession(const LinuxUrlSession&) = delete;
    LinuxUrlSession& operator=(const LinuxUrlSession&) = delete;

    void get(const platform::UrlRequest& request, Completion completion) override;

private:
    platform::UrlSession* session();

    std::filesystem::path module_;
    std::unique_ptr<platform::UrlSession> session_;
    bool unavailable_ = false;
};

}  // namespace nubrio::linux_platform
