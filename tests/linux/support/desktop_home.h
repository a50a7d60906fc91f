#pragma once
// A TempHome that GLib and GIO use too, with desktop entries whose programs record how they were
// started.
//
// GLib reads HOME and the XDG variables once per process: every DesktopHome of a process is the same
// folder, emptied for each, which GIO watches for changes. Write the fixtures before the test's first
// GIO call.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_home.h"

namespace nubrio::testing {

class DesktopHome {
public:
    DesktopHome();

    const std::filesystem::path& path() const { return home_.path(); }
    std::filesystem::path dataHome() const { return home_.dataHome(); }
    std::filesystem::path configHome() const { return home_.configHome(); }
    std::filesystem::path applications() const { return home_.dataHome() / "applications"; }

    // An executable script at `path` (parents created) that writes its arguments, one a line, to
    // recordOf(path), and "<pid> <session id>" to sessionOf(path). The record appears whole.
    static void writeRecorder(const std::filesystem::path& path);
    static std::filesystem::path recordOf(const std::filesystem::path& recorder);
    static std::filesystem::path sessionOf(const std::filesystem::path& recorder);
    // The recorded arguments once the recorder has run (the Qt event loop runs meanwhile); none when
    // it did not run before the deadline.
    static std::optional<std::vector<std::string>> waitForRecord(
        const std::filesystem::path& recorder, std::chrono::milliseconds deadline = std::chrono::seconds(30));

    // applications/<desktopId> with Type, Name, the Exec line as written, and extra lines.
    std::filesystem::path writeEntry(const std::string& desktopId, const std::string& exec,
                                     const std::string& extraLines = {}) const;
    // mimeapps.list with these [Default Applications] (content type, desktop ID).
    void writeDefaults(const std::vector<std::pair<std::string, std::string>>& defaults) const;

private:
    TempHome& home_;
};

}  // namespace nubrio::testing
