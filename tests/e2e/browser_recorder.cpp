#include "browser_recorder.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/files.h"

namespace nubrio::e2e {

namespace fs = std::filesystem;

BrowserRecorder::BrowserRecorder(const fs::path& dataHome, const fs::path& configHome, const fs::path& workFolder,
                                 const std::string& desktopId)
    : launchesFolder_(workFolder / "browser-launches") {
    fs::create_directories(launchesFolder_);
    const fs::path script = workFolder / "bin/browser-recorder";
    // Written aside and renamed, so a reader never sees half a launch.
    testing::writeFile(script, "#!/bin/sh\n"
                  "call=\"" + launchesFolder_.string() + "/$(date +%s%N).$$\"\n"
                  "printf '%s\\n' \"$@\" > \"$call.partial\" && mv \"$call.partial\" \"$call.args\"\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    installDefaultBrowser(dataHome, configHome, desktopId, "Google Chrome", script);
}

std::vector<std::vector<std::string>> BrowserRecorder::launches() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(launchesFolder_, error))
        if (entry.path().extension() == ".args") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::vector<std::string>> launches;
    for (const fs::path& file : files) {
        std::ifstream in(file);
        std::vector<std::string> arguments;
        for (std::string line; std::getline(in, line);) arguments.push_back(line);
        launches.push_back(arguments);
    }
    return launches;
}

std::string describe(const std::vector<std::vector<std::string>>& launches) {
    std::ostringstream text;
    text << launches.size() << " browser launch(es)";
    for (const auto& arguments : launches) {
        text << "\n  [";
        for (std::size_t index = 0; index < arguments.size(); ++index)
            text << (index ? ", " : "") << '"' << arguments[index] << '"';
        text << "]";
    }
    return text.str();
}

void installDefaultBrowser(const fs::path& dataHome, const fs::path& configHome, const std::string& desktopId,
                           const std::string& name, const fs::path& program) {
    testing::writeFile(dataHome / "applications" / desktopId,
                       "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.0\n"
                       "Name=" + name + "\n"
                       "Exec=" + program.string() + " %U\n"
                       "Terminal=false\n"
                       "Categories=Network;WebBrowser;\n"
                       "MimeType=text/html;x-scheme-handler/http;x-scheme-handler/https;\n");
    testing::writeFile(configHome / "mimeapps.list",
                       "[Default Applications]\n"
                       "x-scheme-handler/https=" + desktopId + "\n"
                       "x-scheme-handler/http=" + desktopId + "\n"
                       "text/html=" + desktopId + "\n");
}

}  // namespace nubrio::e2e
