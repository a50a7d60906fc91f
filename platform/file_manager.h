#pragma once
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"

namespace nubrio::platform {

class FileManager {
public:
    virtual ~FileManager() = default;
    virtual std::filesystem::path homeDirectoryForCurrentUser() = 0;
    // The user's application-support folder, where programs keep their data, each in a folder of its
    // own. Not created here.
    virtual std::filesystem::path applicationSupportDirectory() = 0;
    // Creates the folder and, with `withIntermediates`, its missing parents; an existing folder is
    // no error.
    virtual std::optional<Error> createDirectory(const std::filesystem::path& path, bool withIntermediates) = 0;
    // The path with every symbolic link in it resolved; the path as given when that is not possible
    // (a part of it missing, no permission).
    virtual std::filesystem::path resolvingSymlinks(const std::filesystem::path& path) = 0;
    // Moves the item to the user's Trash.
    virtual std::optional<Error> trashItem(const std::filesystem::path& path) = 0;
    // The whole file as UTF-8 text; none when it is missing, unreadable, not a regular file, larger
    // than `maxBytes` or not valid UTF-8.
    virtual std::optional<std::string> readUtf8(const std::filesystem::path& path, std::size_t maxBytes) = 0;
};

}  // namespace nubrio::platform
