#include "platform/linux/desktop/data_folder.h"

#include <glib/gstdio.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/base/system_error.h"

namespace nubrio::linux_platform::data_folder {

namespace {

enum class Found { Nothing, Folder, LinkToFolder };

// What is at `path`, without following a link at its end; a file there is none of ours.
Found whatIsAt(const std::filesystem::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return Found::Nothing;
    if (S_ISDIR(info.st_mode)) return Found::Folder;
    if (S_ISLNK(info.st_mode) && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Found::LinkToFolder;
    return Found::Nothing;
}

bool existsAt(const std::filesystem::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string stays(const std::filesystem::path& earlier) { return "; " + earlier.string() + " stays in use"; }

}  // namespace

std::filesystem::path earlierApplicationSupport(const std::filesystem::path& home) {
    return home / "Library/Application Support";
}

int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

Settled settle(const std::filesystem::path& home, const std::filesystem::path& dataHome, std::string_view name,
               bool mayMove, const std::function<void(std::string_view line)>& log, const Rename& rename) {
    const std::filesystem::path earlierParent = earlierApplicationSupport(home);
    const std::filesystem::path earlier = earlierParent / name;
    const std::filesystem::path target = dataHome / name;
    const Settled keepEarlier{earlierParent, Outcome::Earlier};

    switch (whatIsAt(earlier)) {
        case Found::Nothing: return {dataHome, Outcome::New};
        case Found::LinkToFolder:
            if (mayMove) log(earlier.string() + " is a symbolic link, not moved to " + target.string() + stays(earlier));
            return keepEarlier;
        case Found::Folder: break;
    }
    if (!mayMove) return keepEarlier;

    // Checked first for a plain answer; the rename refuses an existing target all the same.
    if (existsAt(target)) {
        log("both " + earlier.string() + " and " + target.string() + " exist" + stays(earlier));
        return keepEarlier;
    }
    if (g_mkdir_with_parents(dataHome.c_str(), 0700) != 0) {
        log("cannot create a folder: " + systemError(errno, dataHome.string()).message + stays(earlier));
        return keepEarlier;
    }
    if (const int code = rename(earlier, target); code != 0) {
        log("cannot move " + earlier.string() + " to " + systemError(code, target.string()).message + stays(earlier));
        return keepEarlier;
    }
    // Folders only earlier builds made on Linux; left when anything else is in them.
    if (rmdir(earlierParent.c_str()) == 0) rmdir(earlierParent.parent_path().c_str());
    return {dataHome, Outcome::Moved};
}

}  // namespace nubrio::linux_platform::data_folder
