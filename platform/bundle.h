#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace nubrio::platform {

// One value of the bundle's information dictionary.
struct InfoValue {
    enum class Kind { None, String, Other };
    Kind kind = Kind::None;
    std::string text;  // only for Kind::String
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
};

}  // namespace nubrio::platform
