#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace nubrio::platform {

// Names an installed application (on Linux: its desktop entry).
struct ApplicationRef {
    std::string id;
    bool operator==(const ApplicationRef&) const = default;
};

struct OpenConfiguration {
    bool createsNewApplicationInstance = false;
    std::vector<std::string> arguments;
};

class Workspace {
public:
    using OpenCompletion = std::function<void(std::optional<Error> error)>;
    virtual ~Workspace() = default;
    // Process ids of the running applications with this bundle identifier, this process included.
    virtual std::vector<int> runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) = 0;
    // The application that would open this address (the default browser for a web address).
    virtual std::optional<ApplicationRef> urlForApplicationToOpenUrl(const std::string& url) = 0;
    virtual std::optional<std::string> bundleIdentifierOfApplication(const ApplicationRef& application) = 0;
    virtual std::optional<ApplicationRef> urlForApplicationWithBundleIdentifier(const std::string& bundleIdentifier) = 0;
    // Starts the application with the configuration's arguments; the launch result comes later.
    virtual void openApplication(const ApplicationRef& application, const OpenConfiguration& configuration,
                                 OpenCompletion completion) = 0;
    virtual void openUrlsWithApplication(const std::vector<std::string>& urls, const ApplicationRef& application,
                                         const OpenConfiguration& configuration) = 0;
    // Opens a web address with the default handler; false when it could not.
    virtual bool openUrl(const std::string& url) = 0;
    // Shows a folder in the desktop's file manager; false when it could not.
    virtual bool openFolder(const std::filesystem::path& folder) = 0;
};

}  // namespace nubrio::platform
