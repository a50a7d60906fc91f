#pragma once
// The program's own bundle, Nubrio.app/Contents/{Info.plist, MacOS/Nubrio, Resources}, found from the
// running executable.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace nubrio::linux_platform {

class LinuxBundle final : public platform::Bundle {
public:
    // `executable` is the bundle's program, Contents/MacOS/<name>, with links resolved.
    explicit LinuxBundle(std::filesystem::path executable);

    // The running program as /proc/self/exe names it: absolute, links resolved. None, with `failure`
    // saying why, when /proc cannot tell (not mounted, or something else mounted there): a relative
    // guess would take the bundle from the working folder, whatever that holds.
    static std::optional<std::filesystem::path> runningExecutable(std::string& failure);

    // Reads Contents/Info.plist on every call: none when the file is missing, unreadable or not a
    // property list, or the key is absent.
    platform::InfoValue infoValue(const std::string& key) override;
    std::optional<std::filesystem::path> resourcesPath() override;
    std::filesystem::path bundlePath() override;
    bool installedByPackageManager() override;

    const std::filesystem::path& executablePath() const { return executable_; }
    // Who owns the program's file: the files the program runs or loads from its bundle must be this
    // user's or root's. Nobody's (-1) when the file cannot be looked at.
    uid_t owner() const { return owner_; }

private:
    std::filesystem::path executable_;
    std::filesystem::path bundle_;
    uid_t owner_;
};

}  // namespace nubrio::linux_platform
