#pragma once
// Where this user's single-instance socket lives. Every copy must pick the same folder, whatever its
// environment (a copy started from su, sudo or ssh has no XDG_RUNTIME_DIR), and no other user may be
// able to choose it for us.
#include <filesystem>
#include <optional>
#include <string>

namespace nubrio::linux_platform {

// The places looked at, in order of preference.
struct RuntimeFolderCandidates {
    std::optional<std::filesystem::path> xdgRuntimeDir;  // $XDG_RUNTIME_DIR, when set
    std::filesystem::path userRuntimeDir;                // /run/user/<uid>, made by the login manager
    std::filesystem::path cacheFolder;                   // <$XDG_CACHE_HOME or ~/.cache>/nubrio, made here
    std::filesystem::path temporaryFolder;               // <tmp>/nubrio-<uid>, made here

    // From this process's environment and user.
    static RuntimeFolderCandidates forThisUser();
};

// The first candidate that is a real folder (not a link) of ours that no one else may enter, that we
// may write, and where a socket named `socketName` fits in a socket address. The two folders of the
// login manager are used as they are; the two others are made with mode 0700 and must have exactly
// that mode. None when no candidate qualifies.
std::optional<std::filesystem::path> runtimeFolder(const RuntimeFolderCandidates& candidates,
                                                   const std::string& socketName);

}  // namespace nubrio::linux_platform
