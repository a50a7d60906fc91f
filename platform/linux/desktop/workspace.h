#pragma once
// The workspace on a Linux desktop: applications are desktop entries found through GIO, named by
// their desktop-file IDs (e.g. "google-chrome.desktop").
#include <functional>
#include <vector>

#include "platform/workspace.h"

namespace nubrio::linux_platform {

class LinuxWorkspace final : public platform::Workspace {
public:
    // `runningInstances` lists the process ids of the running copies of this program.
    explicit LinuxWorkspace(std::function<std::vector<int>()> runningInstances);

    // This program's own identifier gives `runningInstances()`; any other, nothing.
    std::vector<int> runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) override;
    // GIO's default application for the address's scheme.
    std::optional<platform::ApplicationRef> urlForApplicationToOpenUrl(const std::string& url) override;
    // A fixed table from the browsers' desktop-file IDs to their identifiers.
    std::optional<std::string> bundleIdentifierOfApplication(const platform::ApplicationRef& application) override;
    // The first desktop-file ID of the table for that identifier that GIO finds installed.
    std::optional<platform::ApplicationRef> urlForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    // Runs the entry's Exec (field codes dropped) with the arguments after it, detached in its own
    // session. The completion runs later on the event loop, with the error when it could not start.
    void openApplication(const platform::ApplicationRef& application, const platform::OpenConfiguration& configuration,
                         OpenCompletion completion) override;
    // GIO's launch of the entry with the addresses in place of its %u/%U.
    void openUrlsWithApplication(const std::vector<std::string>& urls, const platform::ApplicationRef& application,
                                 const platform::OpenConfiguration& configuration) override;
    bool openUrl(const std::string& url) override;
    bool openFolder(const std::filesystem::path& folder) override;

private:
    std::function<std::vector<int>()> runningInstances_;
};

}  // namespace nubrio::linux_platform
