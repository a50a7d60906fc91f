#pragma once
#include <cstddef>
#include <memory>

#include "platform/url_session.h"

class QNetworkAccessManager;

namespace nubrio::linux_platform {

// GETs for the readiness probe: straight to the address (no proxy, cache or redirects), the timeout a
// bound on the whole request, the body capped. Completions run on the main thread, never inside get().
class LinuxUrlSession final : public platform::UrlSession {
public:
    static constexpr std::size_t MaximumBodySize = 64 * 1024;

    LinuxUrlSession();
    ~LinuxUrlSession() override;
    LinuxUrlSession(const LinuxUrlSession&) = delete;
    LinuxUrlSession& operator=(const LinuxUrlSession&) = delete;

    void get(const platform::UrlRequest& request, Completion completion) override;

private:
    QNetworkAccessManager& manager();

    std::unique_ptr<QNetworkAccessManager> manager_;
};

}  // namespace nubrio::linux_platform
