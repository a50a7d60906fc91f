// The login item as a real XDG autostart entry in a temporary home.
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/desktop/login_items.h"
#include "support/files.h"
#include "support/temp_home.h"

namespace {

using nubrio::linux_platform::LinuxLoginItemService;
using nubrio::platform::LoginItemStatus;
using nubrio::testing::readFile;
using nubrio::testing::TempHome;
using nubrio::testing::writeFile;

std::filesystem::path autostartEntry(const TempHome& home) {
    return home.configHome() / "autostart/app.nubrio.desktop.desktop";
}

std::filesystem::path bundleExecutable(const TempHome& home) {
    return home.path() / "Mis Apps/Nubrio.app/Contents/MacOS/Nubrio";
}

// The entry's Exec as a shell-style reader (GIO's) splits it.
std::vector<std::string> execWords(const std::filesystem::path& entry) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> words;
    if (g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)) {
        gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        gchar** argv = nullptr;
        if (exec && g_shell_parse_argv(exec, nullptr, &argv, nullptr))
            for (gchar** word = argv; *word; ++word) words.emplace_back(*word);
        g_strfreev(argv);
        g_free(exec);
    }
    g_key_file_free(file);
    return words;
}

TEST(LinuxLoginItems, TogglingWritesAndRemovesTheAutostartEntry) {
    TempHome home;
    LinuxLoginItemService service(bundleExecutable(home));
    EXPECT_EQ(service.status(), LoginItemStatus::NotRegistered);

    ASSERT_FALSE(service.registerApp());
    EXPECT_EQ(execWords(autostartEntry(home)), (std::vector<std::string>{bundleExecutable(home).string()}));
    EXPECT_EQ(service.status(), LoginItemStatus::Enabled);
    EXPECT_FALSE(service.registerApp());  // again: still one entry, still enabled
    EXPECT_EQ(service.status(), LoginItemStatus::Enabled);

    ASSERT_FALSE(service.unregisterApp());
    EXPECT_FALSE(std::filesystem::exists(autostartEntry(home)));
    EXPECT_EQ(service.status(), LoginItemStatus::NotRegistered);
    EXPECT_FALSE(service.unregisterApp());  // already gone
}

TEST(LinuxLoginItems, ExistingEntriesCountOnlyWhenOursAndActive) {
    struct Case {
        const char* name;
        const char* keys;  // {exe} stands for the bundle executable, quoted
        LoginItemStatus status;
        bool ours;
    };
    const std::vector<Case> table = {
        {"ours with an argument", "Exec={exe} --background\n", LoginItemStatus::Enabled, true},
        {"ours, hidden", "Exec={exe}\nHidden=true\n", LoginItemStatus::NotRegistered, true},
        {"ours, disabled", "Exec={exe}\nX-GNOME-Autostart-enabled=false\n", LoginItemStatus::NotRegistered, true},
        {"another program", "Exec=/usr/bin/other-app\n", LoginItemStatus::NotRegistered, false},
        {"another program, hidden", "Exec=/usr/bin/other-app\nHidden=true\n", LoginItemStatus::NotRegistered, false},
        {"no Exec", "Hidden=true\n", LoginItemStatus::NotRegistered, false},
    };
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        TempHome home;
        LinuxLoginItemService service(bundleExecutable(home));
        std::string keys = row.keys;
        if (const auto at = keys.find("{exe}"); at != std::string::npos)
            keys.replace(at, 5, "\"" + bundleExecutable(home).string() + "\"");
        const std::string original = "[Desktop Entry]\nType=Application\nName=Something\n" + keys;
        writeFile(autostartEntry(home), original);
        EXPECT_EQ(service.status(), row.status);

        const auto registered = service.registerApp();
        if (row.ours) {
            EXPECT_FALSE(registered);
            EXPECT_EQ(service.status(), LoginItemStatus::Enabled);
        } else {
            ASSERT_TRUE(registered);
            EXPECT_NE(registered->message.find("otro programa"), std::string::npos) << registered->message;
            EXPECT_EQ(readFile(autostartEntry(home)), original);
        }

        writeFile(autostartEntry(home), original);
        const auto unregistered = service.unregisterApp();
        EXPECT_EQ(unregistered.has_value(), !row.ours);
        EXPECT_EQ(std::filesystem::exists(autostartEntry(home)), !row.ours);
    }
}

TEST(LinuxLoginItems, UnwritableAutostartFolderGivesTheSystemsText) {
    struct Case {
        const char* name;
        bool fileInsteadOfFolder;  // stops root too; permission bits do not
        int code;
    };
    for (const Case& row : {Case{"a file where the folder should be", true, ENOTDIR},
                            Case{"a read-only folder", false, EACCES}}) {
        SCOPED_TRACE(row.name);
        if (!row.fileInsteadOfFolder && geteuid() == 0) continue;  // root writes there anyway
        TempHome home;
        const auto autostart = home.configHome() / "autostart";
        if (row.fileInsteadOfFolder) {
            writeFile(autostart, "not a folder");
        } else {
            std::filesystem::create_directories(autostart);
            chmod(autostart.c_str(), 0555);
        }
        LinuxLoginItemService service(bundleExecutable(home));

        const auto error = service.registerApp();
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find(g_strerror(row.code)), std::string::npos) << error->message;
        EXPECT_EQ(service.status(), LoginItemStatus::NotRegistered);
        if (row.fileInsteadOfFolder) {
            EXPECT_EQ(readFile(autostart), "not a folder");
        } else {
            EXPECT_TRUE(std::filesystem::is_empty(autostart));  // no half-written or temporary file
            chmod(autostart.c_str(), 0755);
        }
    }
}

TEST(LinuxLoginItems, ABundlePathNoAutostartEntryCouldStartIsRefusedWithTheReason) {
    // Each worked for GIO or nothing at all, but systemd's autostart generator or the status read
    // back would turn the entry into one that shows as enabled and starts nothing, or that the menu
    // could no longer remove.
    for (const char* folder : {"100% Apps", "Apps\xff", "Apps\\nuevas", "Apps\r"}) {
        SCOPED_TRACE(folder);
        TempHome home;
        LinuxLoginItemService service(home.path() / folder / "Nubrio.app/Contents/MacOS/Nubrio");
        const auto error = service.registerApp();
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find("el escritorio no puede abrir un programa"), std::string::npos) << error->message;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(autostartEntry(home))));
        EXPECT_EQ(service.status(), LoginItemStatus::NotRegistered);
    }
}

// An autostart entry GLib cannot read whole is nobody's to rewrite or remove: both are refused with
// the reason, and the file stays byte for byte; a FIFO there is not waited on.
TEST(LinuxLoginItems, AnEntryThatCannotBeReadWholeIsLeftAsItIs) {
    const std::pair<const char*, std::string> entries[] = {
        {"a line without '='", "[Desktop Entry]\nType=Application\nNubrio\nExec=/bin/true\n"},
        {"a key before the first group", "Exec=/bin/true\n[Desktop Entry]\nType=Application\n"},
    };
    for (const auto& [name, text] : entries) {
        SCOPED_TRACE(name);
        TempHome home;
        writeFile(autostartEntry(home), text);
        LinuxLoginItemService service(bundleExecutable(home));
        EXPECT_EQ(service.status(), LoginItemStatus::NotRegistered);
        const auto registered = service.registerApp();
        ASSERT_TRUE(registered);
        EXPECT_NE(registered->message.find("no se puede leer entera"), std::string::npos) << registered->message;
        EXPECT_TRUE(service.unregisterApp());
        EXPECT_EQ(readFile(autostartEntry(home)), text);
    }
    {
        SCOPED_TRACE("a FIFO");
        TempHome home;
        std::filesystem::create_directories(autostartEntry(home).parent_path());
        ASSERT_EQ(mkfifo(autostartEntry(home).c_str(), 0600), 0);
        auto status = std::async(std::launch::async, [&] { return LinuxLoginItemService(bundleExecutable(home)).status(); });
        const bool ended = status.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!ended) {  // unblock it
            const int fd = ::open(autostartEntry(home).c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
        EXPECT_TRUE(ended) << "waited on the FIFO";
        EXPECT_EQ(status.get(), LoginItemStatus::NotRegistered);
    }
}

}  // namespace
