#pragma once
// Where the program's data folder lives on Linux: in the XDG data folder, where Linux programs keep
// their data. Earlier builds kept it where the reference platform does, in ~/Library/Application
// Support; such a folder is moved once, in one atomic rename, and where it cannot be moved it stays in
// use. No file is copied or deleted either way, so none can be lost.
#include <filesystem>
#include <functional>
#include <string_view>

namespace nubrio::linux_platform::data_folder {

// The reference platform's application-support folder under `home`, where earlier builds kept ours.
std::filesystem::path earlierApplicationSupport(const std::filesystem::path& home);

// Renames `from` to `to` in one step unless `to` exists; 0 or the errno.
using Rename = std::function<int(const std::filesystem::path& from, const std::filesystem::path& to)>;
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

enum class Outcome {
    New,      // nothing of ours at the earlier place: the XDG data folder
    Moved,    // the earlier folder has just been moved into the XDG data folder
    Earlier,  // the earlier folder stays in use: not moved now, or it could not be
};

struct Settled {
    std::filesystem::path applicationSupport;  // the folder that holds the program's folder
    Outcome outcome;
};

// Where the program's folder `name` is: in `dataHome`, unless a folder of that name is at the earlier
// place under `home`. With `mayMove` that folder is moved into `dataHome` first (made with its
// parents when missing). When the move fails (another file system, a folder at both places, anything
// else) the earlier folder stays in use and `log` gets one line that says so. Without `mayMove`
// nothing is moved or said. A symbolic link at the earlier place is the user's own arrangement: it
// stays where it is and in use, and `log` gets a line when it would have been moved.
Settled settle(const std::filesystem::path& home, const std::filesystem::path& dataHome, std::string_view name,
               bool mayMove, const std::function<void(std::string_view line)>& log,
               const Rename& rename = renameNoReplace);

}  // namespace nubrio::linux_platform::data_folder
