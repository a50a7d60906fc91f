#pragma once
// A platform error: the domain and code name it for diagnostics, the message is the system's own
// text in the user's language (strerror, GIO's message).
#include <string>

namespace nubrio::platform {

struct Error {
    std::string domain;
    int code = 0;
    std::string message;

    // The user-facing text, shown under a fixed Spanish headline.
    const std::string& localizedDescription() const { return message; }

    // The full form for diagnostics on standard error: domain, code and text.
    std::string fullDescription() const {
        return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + message + "\"";
    }
};

}  // namespace nubrio::platform
