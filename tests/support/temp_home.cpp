#include "support/temp_home.h"

#include <cstdlib>
#include <stdexcept>

namespace nubrio::testing {

namespace {
const char* const kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                                  "XDG_STATE_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS"};
}

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nubrio-home.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        saved_.push_back({name, value != nullptr, value ? value : ""});
    }
    empty();
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
    setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    setenv("XDG_CACHE_HOME", (root_ / ".cache").c_str(), 1);
    setenv("XDG_STATE_HOME", (root_ / ".local/state").c_str(), 1);
    // System-wide entries would leak the machine's real browsers into the tests.
    setenv("XDG_DATA_DIRS", (root_ / "xdg-data-dirs").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (root_ / "xdg-config-dirs").c_str(), 1);
}

void TempHome::empty() {
    for (const auto& entry : std::filesystem::directory_iterator(root_)) std::filesystem::remove_all(entry.path());
    std::filesystem::create_directories(dataHome());
    std::filesystem::create_directories(configHome());
    std::filesystem::create_directories(root_ / ".cache");
    std::filesystem::create_directories(root_ / ".local/state");
    std::filesystem::create_directories(root_ / "xdg-data-dirs");
    std::filesystem::create_directories(root_ / "xdg-config-dirs");
}

TempHome::~TempHome() {
    for (const Saved& entry : saved_) {
        if (entry.present)
            setenv(entry.name.c_str(), entry.value.c_str(), 1);
        else
            unsetenv(entry.name.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

}  // namespace nubrio::testing
