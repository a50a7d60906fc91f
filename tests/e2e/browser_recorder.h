#pragma once
// A stand-in for the user's browser: an entry in XDG_DATA_HOME/applications (google-chrome.desktop
// unless named), the default handler of https links, whose Exec is a script that records each
// launch's arguments (one per line, one file per launch) and opens nothing.
#include <filesystem>
#include <string>
#include <vector>

namespace nubrio::e2e {

class BrowserRecorder {
public:
    // Writes the entry, the script and mimeapps.list; throws std::runtime_error on failure.
    BrowserRecorder(const std::filesystem::path& dataHome, const std::filesystem::path& configHome,
                    const std::filesystem::path& workFolder, const std::string& desktopId = "google-chrome.desktop");

    // The arguments of every launch so far, oldest first.
    std::vector<std::vector<std::string>> launches() const;

private:
    std::filesystem::path launchesFolder_;
};

std::string describe(const std::vector<std::vector<std::string>>& launches);

// A browser's entry, starting `program` with the pages, made the default for web pages in
// `configHome`'s mimeapps.list.
void installDefaultBrowser(const std::filesystem::path& dataHome, const std::filesystem::path& configHome,
                           const std::string& desktopId, const std::string& name, const std::filesystem::path& program);

}  // namespace nubrio::e2e
