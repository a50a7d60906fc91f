#pragma once
// The program's own bundle, Nubrio.app/Contents/{Info.plist, MacOS/Nubrio, Resources}, found from the
// running executable.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/bundle.h"

namespace nubrio::linux_platform {

class BundleWatch;

class LinuxBundle final : public platform::Bundle {
public:
    // `executable` is the bundle's program, Contents/MacOS/<name>, with links resolved; the file at
    // that path now is the one this process runs.
    explicit LinuxBundle(std::filesystem::path executable);
    ~LinuxBundle() override;

    // The running program as /proc/self/exe names it, links resolved.
    static std::filesystem::path runningExecutable();

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

private:
    std::filesystem::path executable_;
    std::filesystem::path bundle_;
    // The program file at the start; none when it could not be looked at.
    std::optional<std::pair<dev_t, ino_t>> started_;
    std::unique_ptr<BundleWatch> watch_;
};

}  // namespace nubrio::linux_platform
