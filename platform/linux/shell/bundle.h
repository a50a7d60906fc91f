#pragma once
// The program's own bundle, Nubrio.app/Contents/{Info.plist, MacOS/Nubrio, Resources}, found from the
// running executable.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace nubrio::linux_platform {

class LinuxBundle final : public platform::Bundle {
public:
    // `executable` is the bundle's program, Contents/MacOS/<name>, with links resolved.
    explicit LinuxBundle(std::filesystem::path executable);

    // The running program as /proc/self/exe names it, links resolved.
    static std::filesystem::path runningExecutable();

    // Reads Contents/Info.plist on every call: none when the file is missing, unreadable or not a
    // property list, or the key is absent.
    platform::InfoValue infoValue(const std::string& key) override;
    std::optional<std::filesystem::path> resourcesPath() override;
    std::filesystem::path bundlePath() override;
    bool installedByPackageManager() override;

    const std::filesystem::path& executablePath() const { return executable_; }

private:
    std::filesystem::path executable_;
    std::filesystem::path bundle_;
};

}  // namespace nubrio::linux_platform
