// The data folder's place on real folders: a folder left by earlier builds under ~/Library/Application
// Support moves into the XDG data folder once, or stays in use when it cannot move; no file is lost.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/desktop/data_folder.h"
#include "platform/linux/desktop/file_manager.h"
#include "support/files.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;
namespace data_folder = nubrio::linux_platform::data_folder;
using data_folder::Outcome;
using nubrio::testing::readFile;
using nubrio::testing::TempHome;
using nubrio::testing::writeFile;

// Every entry under a folder: its relative path, its kind and mode, and a file's bytes.
using Tree = std::map<std::string, std::string>;

Tree treeOf(const fs::path& folder) {
    Tree tree;
    if (!fs::exists(fs::symlink_status(folder))) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        std::string description = std::to_string(info.st_mode);
        if (S_ISREG(info.st_mode)) description += " " + readFile(entry.path());
        tree[fs::relative(entry.path(), folder).string()] = description;
    }
    return tree;
}

// What a worker of an earlier build leaves: its logs, the user's work, a private mode.
void fillLikeAWorker(const fs::path& folder, const std::string& mark) {
    writeFile(folder / "logs/worker.log", "arrancó " + mark + "\n");
    writeFile(folder / "logs/startup-error.txt", "El puerto 4173 está ocupado.\n");
    writeFile(folder / "proyectos/clip ñ.json", "{\"clip\": \"" + mark + "\"}");
    fs::permissions(folder / "logs/worker.log", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(folder, fs::perms::owner_all);
}

struct Lines {
    std::vector<std::string> written;
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) { written.emplace_back(line); };
    }
};

class DataFolderTest : public ::testing::Test {
protected:
    TempHome home;
    const fs::path earlier = home.path() / "Library/Application Support/Nubrio";
    const fs::path current = home.dataHome() / "Nubrio";
    Lines log;
};

TEST(DataFolder, TheEarlierFolderMovesOnceOrStaysInUseAndNothingIsLost) {
    struct Case {
        const char* what;
        bool earlierThere, currentThere, mayMove;
        std::optional<int> renameFails;  // the errno the rename gives instead of moving
        Outcome outcome;
        const char* lineHas;             // the one line's telling part; none: no line
    };
    const Case cases[] = {
        {"earlier folder only", true, false, true, {}, Outcome::Moved, nullptr},
        {"both folders", true, true, true, {}, Outcome::Earlier, " exist; "},
        {"another file system", true, false, true, EXDEV, Outcome::Earlier, std::strerror(EXDEV)},
        {"no permission", true, false, true, EACCES, Outcome::Earlier, std::strerror(EACCES)},
        {"neither folder", false, false, true, {}, Outcome::New, nullptr},
        {"only the new one", false, true, true, {}, Outcome::New, nullptr},
        {"earlier folder, not this copy's to move", true, false, false, {}, Outcome::Earlier, nullptr},
        {"both folders, not this copy's to move", true, true, false, {}, Outcome::Earlier, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        const fs::path earlier = home.path() / "Library/Application Support/Nubrio";
        const fs::path current = home.dataHome() / "Nubrio";
        if (c.earlierThere) fillLikeAWorker(earlier, "antes");
        if (c.currentThere) fillLikeAWorker(current, "ahora");
        const Tree earlierBefore = treeOf(earlier), currentBefore = treeOf(current);
        int renames = 0;
        const data_folder::Rename rename = [&](const fs::path& from, const fs::path& to) {
            ++renames;
            return c.renameFails ? *c.renameFails : data_folder::renameNoReplace(from, to);
        };

        Lines log;
        const data_folder::Settled settled =
            data_folder::settle(home.path(), home.dataHome(), "Nubrio", c.mayMove, log.sink(), rename);

        EXPECT_EQ(settled.outcome, c.outcome);
        const fs::path inUse = settled.applicationSupport / "Nubrio";
        if (c.outcome == Outcome::Moved) {
            EXPECT_EQ(inUse, current);
            EXPECT_EQ(treeOf(current), earlierBefore) << "every file, its bytes and its mode";
            EXPECT_FALSE(fs::exists(fs::symlink_status(earlier)));
            EXPECT_FALSE(fs::exists(home.path() / "Library")) << "the empty folders above it go too";
        } else {
            EXPECT_EQ(inUse, c.outcome == Outcome::New ? current : earlier);
            EXPECT_EQ(treeOf(earlier), earlierBefore);
            EXPECT_EQ(treeOf(current), currentBefore);
            EXPECT_EQ(fs::exists(home.path() / "Library"), c.earlierThere) << "nothing made at the earlier place";
        }
        EXPECT_EQ(renames, c.renameFails || c.outcome == Outcome::Moved ? 1 : 0);
        if (c.lineHas) {
            ASSERT_EQ(log.written.size(), 1u);
            EXPECT_NE(log.written[0].find(earlier.string()), std::string::npos) << log.written[0];
            EXPECT_NE(log.written[0].find(c.lineHas), std::string::npos) << log.written[0];
            EXPECT_NE(log.written[0].find(" stays in use"), std::string::npos) << log.written[0];
        } else {
            EXPECT_TRUE(log.written.empty()) << log.written[0];
        }
    }
}

// A fresh home has no ~/.local/share yet: it is made, private, on the way.
TEST_F(DataFolderTest, AMissingDataFolderIsMadeForTheMove) {
    fillLikeAWorker(earlier, "antes");
    const Tree before = treeOf(earlier);
    fs::remove_all(home.path() / ".local");
    const fs::path dataHome = home.path() / ".local/share";

    const data_folder::Settled settled = data_folder::settle(home.path(), dataHome, "Nubrio", true, log.sink());
    EXPECT_EQ(settled.outcome, Outcome::Moved);
    EXPECT_EQ(settled.applicationSupport, dataHome);
    EXPECT_EQ(treeOf(dataHome / "Nubrio"), before);
    EXPECT_EQ(fs::status(dataHome).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(log.written.empty());
}

// Only our folder moves: what else is under ~/Library stays there, and so do the folders.
TEST_F(DataFolderTest, OtherFoldersBesideItStay) {
    fillLikeAWorker(earlier, "antes");
    writeFile(home.path() / "Library/Application Support/Otro/datos.txt", "de otro programa");
    const data_folder::Settled settled = data_folder::settle(home.path(), home.dataHome(), "Nubrio", true, log.sink());
    EXPECT_EQ(settled.outcome, Outcome::Moved);
    EXPECT_EQ(readFile(current / "proyectos/clip ñ.json"), "{\"clip\": \"antes\"}");
    EXPECT_EQ(readFile(home.path() / "Library/Application Support/Otro/datos.txt"), "de otro programa");
}

// A link the user put there points wherever they keep the data: it is neither moved nor followed away.
TEST_F(DataFolderTest, ALinkAtTheEarlierPlaceStaysInUse) {
    const fs::path elsewhere = home.path() / "Discos/datos de Nubrio";
    fillLikeAWorker(elsewhere, "antes");
    fs::create_directories(earlier.parent_path());
    fs::create_directory_symlink("../../Discos/datos de Nubrio", earlier);
    const Tree before = treeOf(elsewhere);

    const data_folder::Settled settled = data_folder::settle(home.path(), home.dataHome(), "Nubrio", true, log.sink());
    EXPECT_EQ(settled.outcome, Outcome::Earlier);
    EXPECT_EQ(settled.applicationSupport / "Nubrio", earlier);
    EXPECT_TRUE(fs::is_symlink(earlier));
    EXPECT_EQ(treeOf(elsewhere), before);
    EXPECT_FALSE(fs::exists(current));
    ASSERT_EQ(log.written.size(), 1u);
    EXPECT_NE(log.written[0].find("symbolic link"), std::string::npos) << log.written[0];
}

// The XDG data folder on a file system of its own (a tmpfs in a mount namespace of a child process):
// the real rename fails with EXDEV, and the earlier folder stays as it was.
TEST_F(DataFolderTest, AnotherFileSystemLeavesTheEarlierFolderInUse) {
    fillLikeAWorker(earlier, "antes");
    const Tree before = treeOf(earlier);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        // 'S': no mount namespace for us (not root); otherwise the outcome, the lines and what the tmpfs holds.
        std::string answer = "S";
        if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", home.dataHome().c_str(), "tmpfs", 0, "mode=0700") == 0) {
            Lines lines;
            const data_folder::Settled settled =
                data_folder::settle(home.path(), home.dataHome(), "Nubrio", true, lines.sink());
            answer = std::to_string(static_cast<int>(settled.outcome)) + "\n" + std::to_string(lines.written.size()) +
                     "\n" + (lines.written.empty() ? "" : lines.written[0]) + "\n" +
                     (fs::exists(current) ? "moved" : "not moved") + "\n";
        }
        (void)!write(report[1], answer.data(), answer.size());
        _exit(0);
    }
    close(report[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    close(report[0]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    if (answer == "S") GTEST_SKIP() << "needs root for a mount namespace of its own";

    const std::string expected = std::to_string(static_cast<int>(Outcome::Earlier)) + "\n1\ncannot move " +
                                 earlier.string() + " to " + current.string() + ": " + std::strerror(EXDEV) +
                                 "; " + earlier.string() + " stays in use\nnot moved\n";
    EXPECT_EQ(answer, expected);
    EXPECT_EQ(treeOf(earlier), before);
    EXPECT_FALSE(fs::exists(current));
}

// The file manager answers the XDG data folder until the start has settled on a folder.
TEST(LinuxFileManagerApplicationSupport, TheXdgDataFolderUnlessSettledOtherwise) {
    TempHome home;
    nubrio::linux_platform::LinuxFileManager files;
    EXPECT_EQ(files.applicationSupportDirectory(), home.dataHome());
    files.setApplicationSupportDirectory(home.path() / "Library/Application Support");
    EXPECT_EQ(files.applicationSupportDirectory(), home.path() / "Library/Application Support");
}

}  // namespace
