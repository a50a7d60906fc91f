// The login item as a real XDG autostart entry in a temporary home.
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sys/wait.h>
#include <utility>
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

// Runs a command; its standard output and error, and its exit status.
std::pair<int, std::string> run(const std::string& command) {
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// systemd's autostart generator (how GNOME and KDE start autostart entries under systemd) turns the
// entry into a unit, and systemd-analyze judges it: from a folder with a space or parentheses the
// unit runs this very program; a quote, '$' or '`' in the path would give a unit systemd refuses
// (it takes no executable name with a quote, and does not undo the generator's "\$"), so those are
// refused with the reason, as '%' is, rather than shown as enabled and never started.
TEST(LinuxLoginItems, SystemdsAutostartGeneratorAcceptsTheEntryOrTheFolderIsRefused) {
    const char* generator = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator";
    if (::access(generator, X_OK) != 0) GTEST_SKIP() << generator << " is not installed (package systemd)";
    const std::pair<const char*, bool> folders[] = {
        {"Mis Apps (2)", true}, {"Apps & más", true}, {"Apps 'nuevas'", false},
        {"Apps \"nuevas\"", false}, {"Apps $HOME", false}, {"Apps `id`", false},
    };
    for (const auto& [folder, accepted] : folders) {
        SCOPED_TRACE(folder);
        TempHome home;
        const std::filesystem::path executable = home.path() / folder / "Nubrio.app/Contents/MacOS/Nubrio";
        std::filesystem::create_directories(executable.parent_path());
        writeFile(executable, "#!/bin/sh\n");
        std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
        LinuxLoginItemService service(executable);
        const auto error = service.registerApp();
        if (!accepted) {
            ASSERT_TRUE(error);
            EXPECT_NE(error->message.find("el escritorio no puede abrir un programa"), std::string::npos) << error->message;
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(autostartEntry(home))));
            std::printf("%s: refused: %s\n", folder, error->message.c_str());
            continue;
        }
        ASSERT_FALSE(error) << error->message;

        const std::filesystem::path out = home.path() / "units", runtime = home.path() / "runtime";
        std::filesystem::create_directories(out);
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        const std::string environment = "env XDG_CONFIG_HOME=" + shellQuoted(home.configHome().string()) +
                                        " XDG_CONFIG_DIRS=" + shellQuoted((home.path() / "none").string()) +
                                        " XDG_RUNTIME_DIR=" + shellQuoted(runtime.string()) + " ";
        const auto [status, output] = run(environment + generator + " " + shellQuoted(out.string()) + " " +
                                          shellQuoted(out.string()) + " " + shellQuoted(out.string()));
        EXPECT_EQ(status, 0) << output;
        const std::filesystem::path unit = out / "app-app.nubrio.desktop@autostart.service";
        const std::string text = readFile(unit);
        ASSERT_FALSE(text.empty()) << "no unit; the generator said: " << output;
        const std::size_t line = text.find("ExecStart=");
        ASSERT_NE(line, std::string::npos) << text;
        const auto [verifyStatus, verdict] =
            run(environment + "systemd-analyze --user verify " + shellQuoted(unit.string()));
        std::printf("%s: %s; systemd-analyze verify: status %d %s\n", folder,
                    text.substr(line, text.find('\n', line) - line).c_str(), verifyStatus, verdict.c_str());
        EXPECT_EQ(verifyStatus, 0) << verdict;
    }
}
}  // namespace
