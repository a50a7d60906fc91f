#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace nubrio::platform {

// One value of the bundle's information dictionary.
struct InfoValue {
    enum class Kind { None, String, Other };
    Kind kind = Kind::None;
    std::string text;  // only for Kind::String
};

// The bundle's program file on disk, beside the one this process was started from.
enum class ExecutableOnDisk {
    Same,      // still the file this process runs
    Replaced,  // another file in its place, as an upgrade leaves it
    Missing,   // none at its path
};

// The application's own bundle: Nubrio.app/Contents/{Info.plist, MacOS, Resources}.
class Bundle {
public:
    virtual ~Bundle() = default;
    virtual InfoValue infoValue(const std::string& key) = 0;
    // The Resources folder; none when the bundle has none.
    virtual std::optional<std::filesystem::path> resourcesPath() = 0;
    // The bundle folder itself (….app), as found from the running executable.
    virtual std::filesystem::path bundlePath() = 0;
    // Whether the system's package manager installed this bundle (and so removes it).
    virtual bool installedByPackageManager() = 0;
    // What is at the program's path now.
    virtual ExecutableOnDisk executableOnDisk() = 0;
    // From now on, calls `changed` on the main thread when the bundle's files have been replaced,
    // added or removed: once for a burst of changes, when they have been quiet for a moment.
    virtual void watchForChanges(std::function<void()> changed) = 0;
};

}  // namespace nubrio::platform
