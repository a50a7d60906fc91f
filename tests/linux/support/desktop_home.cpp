#include "support/desktop_home.h"

#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/files.h"
#include "support/spin.h"

// GLib's hook for tests that isolate their folders (it keeps, rather than frees, the old values).
// Weak, so that a GLib without it only loses the isolation between tests of one process.
extern "C" void g_set_user_dirs(const char* first_dir_type, ...) __attribute__((weak));

namespace nubrio::testing {

DesktopHome::DesktopHome() {
    const std::string dataDirs = std::getenv("XDG_DATA_DIRS");
    const std::string configDirs = std::getenv("XDG_CONFIG_DIRS");
    if (g_set_user_dirs) {
        const char* const dataDirList[] = {dataDirs.c_str(), nullptr};
        const char* const configDirList[] = {configDirs.c_str(), nullptr};
        g_set_user_dirs("HOME", path().c_str(), "XDG_DATA_HOME", dataHome().c_str(), "XDG_CONFIG_HOME",
                        configHome().c_str(), "XDG_CACHE_HOME", (path() / ".cache").c_str(), "XDG_DATA_DIRS",
                        dataDirList, "XDG_CONFIG_DIRS", configDirList, nullptr);
    } else if (configHome() != g_get_user_config_dir()) {
        throw std::runtime_error("GLib kept another test's folders: run each test in its own process (ctest)");
    }
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
