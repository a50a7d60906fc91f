#pragma once
// Points HOME and the XDG folders at a fresh temporary folder for the life of the object, so a test
// never touches the real home, autostart entries, Trash or browsers.
#include <filesystem>
#include <string>
#include <vector>

namespace nubrio::testing {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return root_; }
    // Removes everything in the home and makes its folders anew: the same paths, nothing in them.
    void empty();
    std::filesystem::path dataHome() const { return root_ / ".local/share"; }
    std::filesystem::path configHome() const { return root_ / ".config"; }

private:
    std::filesystem::path root_;
    struct Saved {
        std::string name;
        bool present;
        std::string value;
    };
    std::vector<Saved> saved_;
};

}  // namespace nubrio::testing
