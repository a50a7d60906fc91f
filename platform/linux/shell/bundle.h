#pragma once
// The program's own bundle, Nubrio.app/Contents/{Info.plist, MacOS/Nubrio, Resources}, found from the
// running executable.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace nubrio::linux_platform {

class BundleWatch;

class LinuxBundle final : public platform::Bundle {
public:
    // `executable` is the bundle's program, Contents/MacOS/<name>, with links resolved; the file at
    // that path now is the one this process runs.
    explicit LinuxBundle(std::filesystem::path executable);
    ~LinuxBundle() override;

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
    // The file at the program's path by device and inode: a file renamed into place (as dpkg does),
    // or deleted and made anew, is another one.
    platform::ExecutableOnDisk executableOnDisk() override;
    // Needs the QApplication (see BundleWatch).
    void watchForChanges(std::function<void()> changed) override;

    const std::filesystem::path& executablePath() const { return executable_; }
    // Who owns the program's file: the files the program runs or loads from its bundle must be this
    // user's or root's. Nobody's (-1) when the file cannot be looked at.
    uid_t owner() const { return owner_; }

private:
    std::filesystem::path executable_;
    std::filesystem::path bundle_;
    // The program file at the start; none when it could not be looked at.
    std::optional<std::pair<dev_t, ino_t>> started_;
    std::unique_ptr<BundleWatch> watch_;
    uid_t owner_ = static_cast<uid_t>(-1);  // nobody, when the file could not be looked at
};

}  // namespace nubrio::linux_platform
