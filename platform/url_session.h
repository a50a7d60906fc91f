#pragma once
#include <functional>
#include <optional>
#include <string>

namespace nubrio::platform {

enum class CachePolicy { UseProtocolCachePolicy = 0, ReloadIgnoringLocalCacheData = 1 };

struct UrlRequest {
    std::string url;
    CachePolicy cachePolicy = CachePolicy::UseProtocolCachePolicy;
    double timeoutSeconds = 60.0;
};

// One GET at a time per call; the completion gets the body, or none when the request failed (refused,
// timed out, body over the size cap). Status code and headers are not reported.
class UrlSession {
public:
    using Completion = std::function<void(std::optional<std::string> body)>;
    virtual ~UrlSession() = default;
    virtual void get(const UrlRequest& request, Completion completion) = 0;
    // Why no request can be made at all (what makes them could not be set up), or none. A request
    // that merely failed leaves no reason here.
    virtual std::optional<std::string> unavailableReason() { return std::nullopt; }
};

}  // namespace nubrio::platform
