// The program's application entry and icon in a temporary home, with a recorder standing in for the
// bundle executable.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <glib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/presentation.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/desktop/login_items.h"
#include "support/desktop_home.h"
#include "support/files.h"
#include "support/spin.h"

namespace {

namespace fs = std::filesystem;
namespace launcher = nubrio::linux_platform::launcher;
using nubrio::testing::DesktopHome;
using nubrio::testing::readFile;
using nubrio::testing::writeFile;

constexpr const char* kId = "app.nubrio.desktop.desktop";

using nubrio::presentation;  // as the program passes it in

fs::path entryFile(const DesktopHome& home) { return home.applications() / kId; }

fs::path bundleExecutable(const DesktopHome& home, const std::string& folder = "Mis Apps") {
    return home.path() / folder / "Nubrio.app/Contents/MacOS/Nubrio";
}

// The process's peak resident memory so far (VmHWM), in KiB.
long peakKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

std::optional<std::string> entryKey(const fs::path& path, const char* group, const char* key) {
    GKeyFile* file = g_key_file_new();
    std::optional<std::string> value;
    if (g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_NONE, nullptr))
        if (gchar* text = g_key_file_get_string(file, group, key, nullptr)) {
            value = text;
            g_free(text);
        }
    g_key_file_free(file);
    return value;
}

// The first default the user's mimeapps.list names for nubrio: links.
std::optional<std::string> userDefault(const DesktopHome& home) {
    GKeyFile* file = g_key_file_new();
    std::optional<std::string> first;
    const fs::path list = home.configHome() / "mimeapps.list";
    if (g_key_file_load_from_file(file, list.c_str(), G_KEY_FILE_NONE, nullptr))
        if (gchar** ids = g_key_file_get_string_list(file, "Default Applications", "x-scheme-handler/nubrio", nullptr,
                                                     nullptr)) {
            if (ids[0]) first = ids[0];
            g_strfreev(ids);
        }
    g_key_file_free(file);
    return first;
}

ino_t inodeOf(const fs::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_ino;
}

fs::path icon(const DesktopHome& home, const std::string& size, const char* extension) {
    return home.dataHome() / "icons/hicolor" / size / "apps" / (std::string("app.nubrio.desktop.") + extension);
}

TEST(AppEntry, PutsNubrioInTheApplicationMenuWithItsIconActionsAndLinks) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);

    EXPECT_EQ(launcher::registerFor(executable, presentation()), std::nullopt);
    const auto entry = entryFile(home);
    const std::string program = "\"" + executable.string() + "\"";
    const std::vector<std::pair<const char*, std::optional<std::string>>> expected = {
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"NoDisplay", std::nullopt},
        {"Icon", "app.nubrio.desktop"},
        {"Exec", program + " %u"},
        {"TryExec", executable.string()},
        {"StartupNotify", "false"},
        {"MimeType", "x-scheme-handler/nubrio;"},
        {"Actions", "openfiles;openlogs;restart;loginon;loginoff;about;uninstall;quit;"},
        {"StartupWMClass", "Nubrio"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(entryKey(entry, "Desktop Entry", key), value) << key;
    // Every command of the menu, in its order and with its title; start at login as its two changes.
    const std::vector<std::tuple<const char*, const char*, const char*>> actions = {
        {"openfiles", "Ver archivos de esta computadora", "--open-files"},
        {"openlogs", "Ver registros", "--open-logs"},
        {"restart", "Reiniciar procesamiento…", "--restart"},
        {"loginon", "Abrir al iniciar sesión: activar", "--login-on"},
        {"loginoff", "Abrir al iniciar sesión: desactivar", "--login-off"},
        {"about", "Acerca de Nubrio", "--about"},
        {"uninstall", "Desinstalar Nubrio…", "--uninstall"},
        {"quit", "Salir de Nubrio…", "--quit"},
    };
    for (const auto& [id, name, flag] : actions) {
        const std::string group = std::string("Desktop Action ") + id;
        EXPECT_EQ(entryKey(entry, group.c_str(), "Name"), name) << id;
        EXPECT_EQ(entryKey(entry, group.c_str(), "Exec"), program + " " + flag) << id;
    }
    EXPECT_EQ(userDefault(home), kId);

    // As the desktop's menus read it.
    GDesktopAppInfo* info = g_desktop_app_info_new(kId);
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(g_app_info_should_show(G_APP_INFO(info)));
    EXPECT_FALSE(std::string(g_app_info_get_description(G_APP_INFO(info))).empty());
    EXPECT_NE(g_desktop_app_info_get_categories(info), nullptr);
    EXPECT_NE(g_desktop_app_info_get_keywords(info), nullptr);
    const gchar* const* listed = g_desktop_app_info_list_actions(info);
    ASSERT_TRUE(listed);
    std::vector<std::string> ids;
    for (const gchar* const* id = listed; *id; ++id) ids.emplace_back(*id);
    EXPECT_EQ(ids, (std::vector<std::string>{"openfiles", "openlogs", "restart", "loginon", "loginoff", "about",
                                             "uninstall", "quit"}));
    g_object_unref(info);

    // The icon: scalable and the fixed sizes of the hicolor theme.
    EXPECT_NE(readFile(icon(home, "scalable", "svg")).find("<svg"), std::string::npos);
    for (const char* size : {"16x16", "24x24", "48x48", "256x256"})
        EXPECT_EQ(readFile(icon(home, size, "png")).substr(1, 3), "PNG") << size;

    // A link now reaches the bundle executable.
    ASSERT_TRUE(g_app_info_launch_default_for_uri("nubrio://connect", nullptr, nullptr));
    EXPECT_EQ(DesktopHome::waitForRecord(executable), (std::vector<std::string>{"nubrio://connect"}));
}

// The desktop IDs GIO gives for a lookup of nubrio: links.
std::vector<std::string> ids(GList* infos) {
    std::vector<std::string> found;
    for (GList* info = infos; info; info = info->next) found.emplace_back(g_app_info_get_id(G_APP_INFO(info->data)));
    g_list_free_full(infos, g_object_unref);
    return found;
}

// The desktop portal's OpenURI, which browsers call for a link, opens it without asking only when
// GIO recommends exactly one handler; GIO finds none from a default alone. No mimeinfo.cache here,
// as in a fresh home.
TEST(AppEntry, GiosLookupsThatThePortalMakesFindTheHandler) {
    struct Case {
        const char* name;
        std::optional<std::string> list;  // the user's mimeapps.list before
        bool found;
    };
    const std::string comment = "# mis asociaciones\n";
    const std::vector<Case> cases = {
        {"a fresh home", std::nullopt, true},
        {"the default of an earlier registration", comment + "[Default Applications]\nx-scheme-handler/nubrio=" + kId + ";\n",
         true},
        {"the user took it off the handlers", comment + "[Removed Associations]\nx-scheme-handler/nubrio=" + kId + ";\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopHome home;
        const fs::path list = home.configHome() / "mimeapps.list";
        if (c.list) writeFile(list, *c.list);
        const auto executable = bundleExecutable(home);
        DesktopHome::writeRecorder(executable);

        EXPECT_EQ(launcher::registerFor(executable, presentation()), std::nullopt);
        EXPECT_FALSE(fs::exists(home.applications() / "mimeinfo.cache"));
        const std::vector<std::string> expected = c.found ? std::vector<std::string>{kId} : std::vector<std::string>{};
        EXPECT_EQ(ids(g_app_info_get_recommended_for_type("x-scheme-handler/nubrio")), expected) << readFile(list);
        EXPECT_EQ(ids(g_app_info_get_all_for_type("x-scheme-handler/nubrio")), expected);
        GAppInfo* handler = g_app_info_get_default_for_type("x-scheme-handler/nubrio", FALSE);
        EXPECT_EQ(handler && std::string(g_app_info_get_id(handler)) == kId, c.found);
        if (handler) g_object_unref(handler);
        if (c.list) {
            EXPECT_EQ(readFile(list).rfind(comment, 0), 0u);
        }
        if (!c.found) {
            EXPECT_EQ(readFile(list), *c.list) << "the user's removal stands";
        }
    }
}

TEST(AppEntry, ASystemInstallLeavesTheMenuToTheSystemsEntryAndOnlySetsTheLinkDefault) {
    DesktopHome home;
    const fs::path prefix = home.path() / "sistema/usr";
    const fs::path executable = prefix / "lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio";
    DesktopHome::writeRecorder(executable);
    EXPECT_FALSE(launcher::isSystemInstall(executable)) << "no system entry beside it yet";

    ASSERT_EQ(launcher::writeSystemFiles(executable, prefix / "share", presentation()), std::nullopt);
    // The same entry as the user's own.
    EXPECT_EQ(readFile(prefix / "share/applications" / kId), launcher::entryText(executable, presentation().commands));
    EXPECT_EQ(readFile(prefix / "share/applications/chrome-nubrio.app__-Default.desktop"),
              launcher::editorWindowEntryText(executable, "nubrio.app"));
    EXPECT_NE(readFile(prefix / "share/icons/hicolor/scalable/apps/app.nubrio.desktop.svg").find("<svg"), std::string::npos);
    EXPECT_EQ(readFile(prefix / "share/icons/hicolor/48x48/apps/app.nubrio.desktop.png").substr(1, 3), "PNG");
    EXPECT_TRUE(launcher::isSystemInstall(executable));

    EXPECT_EQ(launcher::registerFor(executable, presentation()), std::nullopt);
    EXPECT_FALSE(fs::exists(entryFile(home)));
    EXPECT_FALSE(fs::exists(icon(home, "scalable", "svg")));
    EXPECT_FALSE(fs::exists(icon(home, "48x48", "png")));
    EXPECT_EQ(userDefault(home), kId) << "links go to the system's entry, which has the same ID";

    // Other places are the user's own copies, whatever lies beside them.
    for (const char* folder : {"Applications", "sistema/usr/lib/otro", "sistema/usr/libexec/nubrio"}) {
        const fs::path other = home.path() / folder / "Nubrio.app/Contents/MacOS/Nubrio";
        DesktopHome::writeRecorder(other);
        EXPECT_FALSE(launcher::isSystemInstall(other)) << folder;
    }
}

TEST(AppEntry, RewritesOnlyWhatChanges) {
    DesktopHome home;
    const auto first = bundleExecutable(home, "Applications");
    const auto moved = bundleExecutable(home, "Descargas");
    DesktopHome::writeRecorder(first);
    DesktopHome::writeRecorder(moved);
    // A cache that tools other than GIO read must follow the entry.
    writeFile(home.applications() / "mimeinfo.cache", "[MIME Cache]\n");

    launcher::registerFor(first, presentation());
    const auto entry = entryFile(home);
    const fs::path list = home.configHome() / "mimeapps.list";
    const ino_t written = inodeOf(entry), iconWritten = inodeOf(icon(home, "48x48", "png")), listWritten = inodeOf(list);
    launcher::registerFor(first, presentation());
    EXPECT_EQ(inodeOf(entry), written);
    EXPECT_EQ(inodeOf(icon(home, "48x48", "png")), iconWritten);
    EXPECT_EQ(inodeOf(list), listWritten) << "the default was ours already";

    launcher::registerFor(moved, presentation());
    EXPECT_NE(inodeOf(entry), written);
    EXPECT_EQ(entryKey(entry, "Desktop Entry", "TryExec"), moved.string());
    EXPECT_TRUE(nubrio::testing::spinUntil(
        [&] { return readFile(home.applications() / "mimeinfo.cache").find(kId) != std::string::npos; },
        std::chrono::seconds(30)));
}

TEST(AppEntry, GoesWithItsIconAndDefaultOnlyOnceItsBundleIsGone) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);
    launcher::registerFor(executable, presentation());
    const auto entry = entryFile(home);

    launcher::unregisterIfBundleGone(executable, presentation().editorPage);  // still there
    EXPECT_TRUE(fs::exists(entry));
    launcher::unregisterIfBundleGone(bundleExecutable(home, "Papelera"), presentation().editorPage);  // gone, but not the one registered
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_EQ(userDefault(home), kId);

    fs::remove_all(home.path() / "Mis Apps");
    launcher::unregisterIfBundleGone(executable, presentation().editorPage);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(fs::exists(icon(home, "scalable", "svg")));
    EXPECT_FALSE(fs::exists(icon(home, "48x48", "png")));
    EXPECT_EQ(userDefault(home), std::nullopt);
    GAppInfo* handler = g_app_info_get_default_for_uri_scheme("nubrio");
    EXPECT_EQ(handler, nullptr);
    if (handler) g_object_unref(handler);
}

TEST(AppEntry, TheUsersOwnChoiceAndTheirFileAreKept) {
    struct Case {
        const char* name;
        std::string list;        // the user's mimeapps.list before
        bool oursBecomesDefault;
    };
    const std::string comment = "# mis asociaciones\n";
    const std::vector<Case> cases = {
        {"another handler the user chose stays the default",
         comment + "[Default Applications]\nx-scheme-handler/nubrio=otro.desktop;\ntext/plain=editor.desktop;\n", false},
        {"a default naming an entry that no longer exists is replaced",
         comment + "[Default Applications]\nx-scheme-handler/nubrio=borrado.desktop;\ntext/plain=editor.desktop;\n", true},
        {"no default at all", comment + "[Default Applications]\ntext/plain=editor.desktop;\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopHome home;
        home.writeEntry("otro.desktop", "/bin/true %u", "MimeType=x-scheme-handler/nubrio;\n");
        home.writeEntry("editor.desktop", "/bin/true %f");
        writeFile(home.configHome() / "mimeapps.list", c.list);
        const auto executable = bundleExecutable(home);
        DesktopHome::writeRecorder(executable);

        launcher::registerFor(executable, presentation());
        const std::string after = readFile(home.configHome() / "mimeapps.list");
        EXPECT_EQ(userDefault(home), c.oursBecomesDefault ? kId : "otro.desktop") << after;
        EXPECT_EQ(after.rfind(comment, 0), 0u) << after;
        EXPECT_NE(after.find("text/plain=editor.desktop;"), std::string::npos) << after;
    }
}

TEST(AppEntry, ADesktopsOwnListTakesPrecedenceAndALinkedListIsWrittenThrough) {
    DesktopHome home;
    setenv("XDG_CURRENT_DESKTOP", "XFCE", 1);
    home.writeEntry("otro.desktop", "/bin/true %u", "MimeType=x-scheme-handler/nubrio;\n");
    writeFile(home.configHome() / "xfce-mimeapps.list", "[Default Applications]\nx-scheme-handler/nubrio=otro.desktop;\n");
    // A dotfiles set-up: the list is a link into a repository of the user's.
    const fs::path target = home.path() / "dotfiles/mimeapps.list";
    writeFile(target, "# de mis dotfiles\n[Default Applications]\n");
    chmod(target.c_str(), 0640);
    fs::create_symlink(target, home.configHome() / "mimeapps.list");
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);

    launcher::registerFor(executable, presentation());
    EXPECT_EQ(userDefault(home), std::nullopt) << "Xfce's own list names an installed handler";

    fs::remove(home.configHome() / "xfce-mimeapps.list");
    launcher::registerFor(executable, presentation());
    EXPECT_TRUE(fs::is_symlink(home.configHome() / "mimeapps.list"));
    EXPECT_EQ(userDefault(home), kId);
    EXPECT_EQ(readFile(target).rfind("# de mis dotfiles\n", 0), 0u);
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    unsetenv("XDG_CURRENT_DESKTOP");
}

TEST(AppEntry, APathTheDesktopCannotStartIsRefusedLeavingNothingBehind) {
    const std::pair<const char*, std::string> folders[] = {
        {"percent sign", "100% Apps"},
        {"byte that is not UTF-8", "Apps\xff"},
        {"backslash", "Apps\\nuevas"},
        {"carriage return", "Apps\r"},
    };
    for (const auto& [name, folder] : folders) {
        SCOPED_TRACE(name);
        DesktopHome home;
        const auto executable = bundleExecutable(home, folder);
        DesktopHome::writeRecorder(executable);
        const std::optional<nubrio::platform::Error> error = launcher::registerFor(executable, presentation());
        ASSERT_TRUE(error);
        EXPECT_NE(error->message.find("Mové Nubrio.app"), std::string::npos) << error->message;
        EXPECT_FALSE(fs::exists(entryFile(home)));
        EXPECT_EQ(userDefault(home), std::nullopt);
    }
}

// Settings files GLib cannot read whole (a line without '=', a key before the first group) are
// not rewritten from the part it did read: the install and the uninstall leave them byte for byte.
const std::pair<const char*, std::string> kMalformed[] = {
    {"a line without '='",
     "[Default Applications]\ntext/html=firefox.desktop;\nuna línea sin igual\nx-scheme-handler/nubrio=app.nubrio.desktop.desktop;\n"
     "[Added Associations]\ntext/plain=editor.desktop;\n"},
    {"a key before the first group",
     "x-scheme-handler/mailto=thunderbird.desktop;\n[Default Applications]\n"
     "x-scheme-handler/nubrio=app.nubrio.desktop.desktop;\ntext/plain=editor.desktop;\n"},
};

TEST(AppEntry, ASettingsFileThatCannotBeReadWholeIsLeftAsItIs) {
    for (const auto& [name, text] : kMalformed) {
        SCOPED_TRACE(name);
        DesktopHome home;
        const fs::path list = home.configHome() / "mimeapps.list";
        writeFile(list, text);
        const auto executable = bundleExecutable(home);
        DesktopHome::writeRecorder(executable);

        launcher::registerFor(executable, presentation());
        EXPECT_EQ(readFile(list), text) << "install";
        fs::remove_all(home.path() / "Mis Apps");
        launcher::unregisterIfBundleGone(executable, presentation().editorPage);
        EXPECT_EQ(readFile(list), text) << "uninstall";

        // The same text at the application entry's own name.
        fs::create_directories(entryFile(home).parent_path());
        writeFile(entryFile(home), text);
        DesktopHome::writeRecorder(executable);
        launcher::registerFor(executable, presentation());
        EXPECT_EQ(readFile(entryFile(home)), text) << "application entry";
    }
}

// Runs `step` and waits up to 10 s; should it block on a FIFO, a writer comes and goes so that it ends.
bool endsWithoutWaiting(const std::function<void()>& step, const std::vector<fs::path>& fifos) {
    auto done = std::async(std::launch::async, step);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return true;
    for (;;) {
        for (const fs::path& fifo : fifos) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
        if (done.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) return false;
    }
}

// A FIFO, a device or an oversize file where a settings file belongs is skipped, never waited on or
// read whole.
TEST(AppEntry, AFifoOrAnOversizeFileIsSkippedNotWaitedOn) {
    {
        SCOPED_TRACE("FIFOs at mimeapps.list and at the entry's name");
        DesktopHome home;
        const fs::path list = home.configHome() / "mimeapps.list";
        fs::create_directories(home.applications());
        ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
        ASSERT_EQ(mkfifo(entryFile(home).c_str(), 0600), 0);
        const auto executable = bundleExecutable(home);
        DesktopHome::writeRecorder(executable);
        EXPECT_TRUE(endsWithoutWaiting([&] { launcher::registerFor(executable, presentation()); }, {list, entryFile(home)}));
        EXPECT_TRUE(fs::is_fifo(list));
        EXPECT_TRUE(fs::is_fifo(entryFile(home)));
    }
    {
        SCOPED_TRACE("a 100 MB mimeapps.list");
        DesktopHome home;
        const fs::path list = home.configHome() / "mimeapps.list";
        {
            std::ofstream out(list);
            out << "[Default Applications]\n";
            const std::string line = "text/x-relleno=" + std::string(1000, 'a') + ".desktop;\n";
            for (std::size_t written = 0; written < 100u << 20; written += line.size()) out << line;
        }
        const auto size = fs::file_size(list);
        const auto executable = bundleExecutable(home);
        DesktopHome::writeRecorder(executable);
        const long before = peakKb();
        launcher::registerFor(executable, presentation());
        const long growth = peakKb() - before;
        std::printf("100 MB mimeapps.list: peak RSS grew by %ld MB\n", growth / 1024);
        EXPECT_LT(growth, 20 * 1024) << "peak RSS grew by " << growth << " KiB";
        EXPECT_EQ(fs::file_size(list), size);
    }
}

}  // namespace

// A desktop shows an entry's actions long after they were written (GNOME's app grid for tens of
// seconds): the entry offers both changes of start at login and is not rewritten when it changes.
TEST(AppEntry, BothLoginActionsStandWhateverTheState) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);
    const auto entry = entryFile(home);
    launcher::registerFor(executable, presentation());
    const std::string before = readFile(entry);
    const ino_t written = inodeOf(entry);

    nubrio::linux_platform::LinuxLoginItemService login(executable);
    ASSERT_EQ(login.registerApp(), std::nullopt);
    launcher::registerFor(executable, presentation());
    EXPECT_EQ(inodeOf(entry), written);
    EXPECT_EQ(readFile(entry), before);
    const std::string program = "\"" + executable.string() + "\"";
    EXPECT_EQ(entryKey(entry, "Desktop Action loginon", "Exec"), program + " --login-on");
    EXPECT_EQ(entryKey(entry, "Desktop Action loginoff", "Exec"), program + " --login-off");
    EXPECT_EQ(launcher::actionNamed("loginon")->login, launcher::LoginChange::TurnOn);
    EXPECT_EQ(launcher::actionNamed("loginoff")->login, launcher::LoginChange::TurnOff);
}

// Browsers name an app window after its page: Chromium 156 gives the editor's window the Wayland app
// id chrome-nubrio.app__-Default and the X11 class instance nubrio.app.
TEST(EditorWindowEntry, NamesFollowTheBrowsersRule) {
    struct Case {
        std::string page;
        std::string x11Instance;
        std::string chromeId;
    };
    const std::vector<Case> cases = {
        {"https://nubrio.app/?app=window#app/crear", "nubrio.app", "chrome-nubrio.app__-Default.desktop"},
        {"http://localhost:5173/?app=window#app/crear", "localhost", "chrome-localhost__-Default.desktop"},
        {"https://staging.nubrio.app/editor/?app=window", "staging.nubrio.app__editor",
         "chrome-staging.nubrio.app__editor_-Default.desktop"},
        {"https://nubrio.app", "nubrio.app", "chrome-nubrio.app__-Default.desktop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        const launcher::AppWindowNames names = launcher::appWindowNames(c.page);
        EXPECT_EQ(names.x11Instance, c.x11Instance);
        ASSERT_FALSE(names.desktopIds.empty());
        EXPECT_EQ(names.desktopIds.front(), c.chromeId);
    }
    EXPECT_EQ(launcher::appWindowNames(presentation().editorPage).desktopIds,
              (std::vector<std::string>{"chrome-nubrio.app__-Default.desktop", "msedge-nubrio.app__-Default.desktop",
                                        "brave-nubrio.app__-Default.desktop", "vivaldi-nubrio.app__-Default.desktop"}));
}

// The editor's app window belongs to Nubrio where desktops group windows: hidden entries named for the
// window, with Nubrio's name and icon, that start the program; they go with the bundle.
TEST(EditorWindowEntry, ClaimsTheWindowAndGoesWithTheBundle) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);
    // The browser's own entry of that name (a shortcut the user made) is not ours to replace.
    const fs::path foreign = home.applications() / "msedge-nubrio.app__-Default.desktop";
    const std::string foreignText = "[Desktop Entry]\nType=Application\nName=Otra\nExec=/bin/true\n";
    writeFile(foreign, foreignText);
    ASSERT_EQ(launcher::registerFor(executable, presentation()), std::nullopt);
    EXPECT_EQ(readFile(foreign), foreignText);

    const std::string program = "\"" + executable.string() + "\"";
    for (const std::string& id : launcher::appWindowNames(presentation().editorPage).desktopIds) {
        if (id.starts_with("msedge")) continue;
        SCOPED_TRACE(id);
        GDesktopAppInfo* info = g_desktop_app_info_new(id.c_str());
        ASSERT_NE(info, nullptr);
        EXPECT_FALSE(g_app_info_should_show(G_APP_INFO(info))) << "not in the application menu";
        EXPECT_STREQ(g_app_info_get_name(G_APP_INFO(info)), "Nubrio");
        EXPECT_STREQ(g_desktop_app_info_get_startup_wm_class(info), "nubrio.app");
        EXPECT_EQ(entryKey(home.applications() / id, "Desktop Entry", "Icon"), "app.nubrio.desktop");
        EXPECT_EQ(entryKey(home.applications() / id, "Desktop Entry", "Exec"), program);
        g_object_unref(info);
    }
    // Pinned and chosen, it starts the program, which opens the editor.
    GDesktopAppInfo* chrome = g_desktop_app_info_new("chrome-nubrio.app__-Default.desktop");
    ASSERT_NE(chrome, nullptr);
    ASSERT_TRUE(g_app_info_launch(G_APP_INFO(chrome), nullptr, nullptr, nullptr));
    EXPECT_EQ(DesktopHome::waitForRecord(executable), (std::vector<std::string>{}));
    g_object_unref(chrome);

    // A copy moved elsewhere takes its entries over.
    const auto moved = bundleExecutable(home, "Descargas");
    DesktopHome::writeRecorder(moved);
    ASSERT_EQ(launcher::registerFor(moved, presentation()), std::nullopt);
    EXPECT_EQ(entryKey(home.applications() / "chrome-nubrio.app__-Default.desktop", "Desktop Entry", "TryExec"),
              moved.string());

    fs::remove_all(home.path() / "Descargas");
    launcher::unregisterIfBundleGone(moved, presentation().editorPage);
    EXPECT_FALSE(fs::exists(home.applications() / "chrome-nubrio.app__-Default.desktop"));
    EXPECT_FALSE(fs::exists(home.applications() / "vivaldi-nubrio.app__-Default.desktop"));
    EXPECT_EQ(readFile(foreign), foreignText);
}

TEST(AppEntry, EachActionIsFoundByItsName) {
    for (const launcher::DesktopAction& action : launcher::kActions) EXPECT_EQ(launcher::actionNamed(action.id), &action);
    EXPECT_EQ(launcher::actionNamed("toggleLogin"), nullptr) << "a selector is not an action's name";
}

// The description says what Nubrio does, as a sentence, whatever the state of start at login: the
// entry is no longer rewritten when that changes.
TEST(AppEntry, TheDescriptionIsOneSentence) {
    const std::string text =
        launcher::entryText("/home/ana/Applications/Nubrio.app/Contents/MacOS/Nubrio", presentation().commands);
    const std::size_t start = text.find("\nComment=") + 9;
    EXPECT_EQ(text.substr(start, text.find('\n', start) - start),
              "Procesa tus videos en esta computadora y abre el editor de Nubrio.");
}
