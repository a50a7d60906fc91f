// The file manager against real folders, the freedesktop Trash of a temporary home, and real files.
#include <gio/gio.h>
#include <glib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/linux/desktop/file_manager.h"
#include "support/desktop_home.h"

namespace {

using nubrio::linux_platform::LinuxFileManager;
using nubrio::testing::DesktopHome;

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(LinuxFileManager, TrashMovesTheBundleWithAnEncodedTrashInfo) {
    for (const char* relative : {"Applications/Nubrio.app", "Mis aplicaciones/Nubrio ñandú.app"}) {
        SCOPED_TRACE(relative);
        DesktopHome home;
        LinuxFileManager files;
        ASSERT_EQ(files.homeDirectoryForCurrentUser(), home.path());
        const auto bundle = files.homeDirectoryForCurrentUser() / relative;
        writeBytes(bundle / "Contents/MacOS/Nubrio", "binary");

        ASSERT_FALSE(files.trashItem(bundle));
        EXPECT_FALSE(std::filesystem::exists(bundle));
        const auto trash = home.dataHome() / "Trash";
        const std::string name = bundle.filename().string();
        EXPECT_TRUE(std::filesystem::exists(trash / "files" / name / "Contents/MacOS/Nubrio"));

        GKeyFile* info = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_file(info, (trash / "info" / (name + ".trashinfo")).c_str(),
                                              G_KEY_FILE_NONE, nullptr));
        gchar* path = g_key_file_get_string(info, "Trash Info", "Path", nullptr);
        gchar* date = g_key_file_get_string(info, "Trash Info", "DeletionDate", nullptr);
        ASSERT_TRUE(path && date);
        const std::string encoded = path;
        EXPECT_EQ(encoded.find(' '), std::string::npos) << encoded;
        for (unsigned char c : encoded) EXPECT_LT(c, 0x80) << encoded;
        gchar* decoded = g_uri_unescape_string(path, nullptr);
        EXPECT_STREQ(decoded, bundle.c_str());
        EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << date;
        g_free(decoded);
        g_free(date);
        g_free(path);
        g_key_file_free(info);
    }
}

TEST(LinuxFileManager, TrashFailureCarriesGiosMessage) {
    DesktopHome home;
    LinuxFileManager files;
    const auto error = files.trashItem(home.path() / "Applications/Missing.app");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "g-io-error-quark");
    EXPECT_EQ(error->code, G_IO_ERROR_NOT_FOUND);
    EXPECT_FALSE(error->message.empty());
}

TEST(LinuxFileManager, CreateDirectory) {
    struct Case {
        const char* name;
        const char* path;  // under the home, which holds a file "file"
        bool withIntermediates;
        int code;  // 0: created or already there
        unsigned mode;  // of the folder afterwards, when created or there: private when made here
    };
    const std::vector<Case> table = {
        {"chain with parents", "Datos/.local/share/Nubrio/logs", true, 0, 0700},
        {"one folder", "Datos/Nubrio", false, 0, 0700},
        {"existing folder keeps its mode", "Datos", true, 0, 0755},
        {"existing folder, no parents asked", "Datos", false, 0, 0755},
        {"missing parent", "Other/logs", false, ENOENT, 0},
        {"a file in the way", "file/logs", true, ENOTDIR, 0},
        {"a file at the place", "file", false, EEXIST, 0},
    };
    const mode_t previous = ::umask(022);
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        DesktopHome home;
        std::filesystem::create_directories(home.path() / "Datos");
        ::chmod((home.path() / "Datos").c_str(), 0755);
        writeBytes(home.path() / "file", "x");
        LinuxFileManager files;
        const auto error = files.createDirectory(home.path() / row.path, row.withIntermediates);
        if (row.code == 0) {
            EXPECT_FALSE(error) << error->message;
            EXPECT_TRUE(std::filesystem::is_directory(home.path() / row.path));
            struct stat info {};
            ASSERT_EQ(::stat((home.path() / row.path).c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, row.mode);
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, row.code);
            EXPECT_NE(error->message.find(g_strerror(row.code)), std::string::npos) << error->message;
        }
    }
    ::umask(previous);
}

TEST(LinuxFileManager, ReadUtf8) {
    using namespace std::string_literals;
    constexpr std::size_t limit = 64 * 1024;
    struct Case {
        const char* name;
        std::optional<std::string> bytes;  // none: no file
        std::optional<std::string> expected;
    };
    const std::vector<Case> table = {
        {"valid", "El puerto 4173 está ocupado.\n"s, "El puerto 4173 está ocupado.\n"s},
        {"NUL inside", "a\0ñ\0"s, "a\0ñ\0"s},
        {"empty", ""s, ""s},
        {"invalid byte", "caf\xe9"s, std::nullopt},
        {"cut sequence at the end", "ab\xc3"s, std::nullopt},
        {"invalid after a NUL", "a\0\xff"s, std::nullopt},
        {"missing", std::nullopt, std::nullopt},
        {"exactly the limit", std::string(limit, 'a'), std::string(limit, 'a')},
        {"one byte over the limit", std::string(limit + 1, 'a'), std::nullopt},
    };
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        DesktopHome home;
        const auto path = home.path() / "logs/startup-error.txt";
        if (row.bytes) writeBytes(path, *row.bytes);
        EXPECT_EQ(LinuxFileManager().readUtf8(path, limit), row.expected);
    }
    DesktopHome home;
    EXPECT_EQ(LinuxFileManager().readUtf8(home.path(), limit), std::nullopt);  // a folder
    // A FIFO with no writer would block a plain read for ever, on the main thread.
    const auto fifo = home.path() / "startup-error.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(LinuxFileManager().readUtf8(fifo, limit), std::nullopt);
}

}  // namespace
