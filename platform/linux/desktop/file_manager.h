#pragma once
// Files and folders of the user: home folder, folder creation, the freedesktop Trash through GIO,
// reading text files.
#include "platform/file_manager.h"

namespace nubrio::linux_platform {

class LinuxFileManager final : public platform::FileManager {
public:
    // $HOME, or the password database's home folder when HOME is unset.
    std::filesystem::path homeDirectoryForCurrentUser() override;
    // The XDG data folder, or the folder the start settled on (data_folder.h).
    std::filesystem::path applicationSupportDirectory() override;
    void setApplicationSupportDirectory(std::filesystem::path path) { applicationSupport_ = std::move(path); }
    // A failure is also written to the program's log: its callers go on without it.
    std::optional<platform::Error> createDirectory(const std::filesystem::path& path, bool withIntermediates) override;
    std::filesystem::path resolvingSymlinks(const std::filesystem::path& path) override;
    // g_file_trash: the Trash of the item's own volume, with a percent-encoded .trashinfo.
    std::optional<platform::Error> trashItem(const std::filesystem::path& path) override;
    // NUL bytes are valid UTF-8 and kept.
    std::optional<std::string> readUtf8(const std::filesystem::path& path, std::size_t maxBytes) override;

private:
    std::optional<std::filesystem::path> applicationSupport_;
};

}  // namespace nubrio::linux_platform
