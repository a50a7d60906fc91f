#include "support/desktop_home.h"

#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/files.h"
#include "support/spin.h"

namespace nubrio::testing {

namespace {

// GLib reads HOME and the XDG variables once per process and offers no way to read them again, so
// every DesktopHome of a process is one folder, emptied for each.
TempHome& processHome() {
    static TempHome home;
    return home;
}

}  // namespace

DesktopHome::DesktopHome() : home_(processHome()) {
    home_.empty();
    if (configHome() != g_get_user_config_dir())
        throw std::runtime_error("GLib was asked for the user's folders before the test's home was made");
    std::filesystem::create_directories(applications());
}

void DesktopHome::writeRecorder(const std::filesystem::path& path) {
    writeFile(path,
              "#!/bin/sh\n"
              "record=\"$0.record\"\n"
              "for argument in \"$@\"; do printf '%s\\n' \"$argument\"; done > \"$record.tmp\"\n"
              "stat=$(cat /proc/$$/stat)\n"
              "set -- ${stat##*)}\n"
              "echo \"$$ $4\" > \"$0.session\"\n"
              "mv \"$record.tmp\" \"$record\"\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                           std::filesystem::perms::others_exec);
}

std::filesystem::path DesktopHome::recordOf(const std::filesystem::path& recorder) {
    return recorder.string() + ".record";
}

std::filesystem::path DesktopHome::sessionOf(const std::filesystem::path& recorder) {
    return recorder.string() + ".session";
}

std::optional<std::vector<std::string>> DesktopHome::waitForRecord(const std::filesystem::path& recorder,
                                                                   std::chrono::milliseconds deadline) {
    const std::filesystem::path record = recordOf(recorder);
    if (!spinUntil([&] { return std::filesystem::exists(record); }, deadline)) return std::nullopt;
    std::ifstream input(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(input, line);) lines.push_back(line);
    return lines;
}

std::filesystem::path DesktopHome::writeEntry(const std::string& desktopId, const std::string& exec,
                                              const std::string& extraLines) const {
    const std::filesystem::path entry = applications() / desktopId;
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=" + desktopId + "\nExec=" + exec + "\n" + extraLines);
    return entry;
}

void DesktopHome::writeDefaults(const std::vector<std::pair<std::string, std::string>>& defaults) const {
    std::ostringstream text;
    text << "[Default Applications]\n";
    for (const auto& [type, desktopId] : defaults) text << type << '=' << desktopId << ";\n";
    writeFile(configHome() / "mimeapps.list", text.str());
}

}  // namespace nubrio::testing
