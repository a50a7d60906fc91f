// The workspace against real desktop entries in a temporary home: GIO's lookups, and launches of
// small recorder scripts standing in for the browsers.
#include <gio/gio.h>
#include <glib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/desktop/app_lookup.h"
#include "platform/linux/desktop/workspace.h"
#include "support/desktop_home.h"
#include "support/files.h"
#include "support/spin.h"

namespace {

using nubrio::linux_platform::LinuxWorkspace;
using nubrio::platform::ApplicationRef;
using nubrio::platform::Error;
using nubrio::platform::OpenConfiguration;
using nubrio::testing::DesktopHome;

const std::vector<std::string> kAppWindowArguments = {"--app=https://nubrio.app/?app=window#app/crear",
                                                      "--window-size=1360,880"};

std::string replaced(std::string text, const std::string& placeholder, const std::string& value) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

struct Completion {
    int calls = 0;
    std::optional<Error> error;
};

// Opens the application and runs the event loop until its completion has come.
Completion openAndWait(LinuxWorkspace& workspace, const std::string& desktopId) {
    auto completion = std::make_shared<Completion>();
    workspace.openApplication(ApplicationRef{desktopId}, OpenConfiguration{true, kAppWindowArguments},
                              [completion](std::optional<Error> error) {
                                  ++completion->calls;
                                  completion->error = std::move(error);
                              });
    nubrio::testing::spinUntil([&] { return completion->calls > 0; }, std::chrono::seconds(30));
    nubrio::testing::spinFor(std::chrono::milliseconds(50));  // a second call would show up here
    return *completion;
}

LinuxWorkspace makeWorkspace() {
    return LinuxWorkspace([] { return std::vector<int>{4242, 17}; });
}

TEST(LinuxWorkspace, DefaultBrowserIsTheHttpsHandlerOfMimeapps) {
    struct Case {
        std::optional<std::string> defaultBrowser;
    };
    for (const Case& row : {Case{"brave-browser.desktop"}, Case{"firefox.desktop"}, Case{std::nullopt}}) {
        SCOPED_TRACE(row.defaultBrowser.value_or("none"));
        DesktopHome home;
        const auto recorder = home.path() / "bin/browser";
        DesktopHome::writeRecorder(recorder);
        home.writeEntry("brave-browser.desktop", recorder.string() + " %U");
        home.writeEntry("firefox.desktop", recorder.string() + " %u");
        if (row.defaultBrowser) home.writeDefaults({{"x-scheme-handler/https", *row.defaultBrowser}});

        LinuxWorkspace workspace = makeWorkspace();
        const auto found = workspace.urlForApplicationToOpenUrl("https://nubrio.app");
        EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, row.defaultBrowser);
    }
}

TEST(LinuxWorkspace, BundleIdentifiersOfKnownDesktopIds) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> table = {
        {"google-chrome.desktop", "com.google.Chrome"},
        {"com.google.Chrome.desktop", "com.google.Chrome"},
        {"microsoft-edge.desktop", "com.microsoft.edgemac"},
        {"com.microsoft.Edge.desktop", "com.microsoft.edgemac"},
        {"brave-browser.desktop", "com.brave.Browser"},
        {"com.brave.Browser.desktop", "com.brave.Browser"},
        {"vivaldi-stable.desktop", "com.vivaldi.Vivaldi"},
        {"com.vivaldi.Vivaldi.desktop", "com.vivaldi.Vivaldi"},
        {"chromium.desktop", "org.chromium.Chromium"},
        {"chromium-browser.desktop", "org.chromium.Chromium"},
        {"org.chromium.Chromium.desktop", "org.chromium.Chromium"},
        {"chromium_chromium.desktop", "org.chromium.Chromium"},
        {"firefox.desktop", "org.mozilla.firefox"},
        {"firefox-esr.desktop", "org.mozilla.firefox"},
        {"org.mozilla.firefox.desktop", "org.mozilla.firefox"},
        {"org.gnome.Epiphany.desktop", std::nullopt},
        {"chromium", std::nullopt},
        {"Google-Chrome.desktop", std::nullopt},
        {"", std::nullopt},
    };
    LinuxWorkspace workspace = makeWorkspace();
    for (const auto& [desktopId, identifier] : table)
        EXPECT_EQ(workspace.bundleIdentifierOfApplication(ApplicationRef{desktopId}), identifier) << desktopId;
}

TEST(LinuxWorkspace, ApplicationForIdentifierIsTheFirstInstalledEntry) {
    DesktopHome home;
    const auto recorder = home.path() / "bin/browser";
    DesktopHome::writeRecorder(recorder);
    const std::string exec = recorder.string() + " %U";
    home.writeEntry("google-chrome.desktop", exec);
    home.writeEntry("com.google.Chrome.desktop", exec);
    home.writeEntry("com.vivaldi.Vivaldi.desktop", exec);
    home.writeEntry("firefox-esr.desktop", exec);
    home.writeEntry("chromium_chromium.desktop", exec);
    home.writeEntry("chromium-browser.desktop", exec);
    home.writeEntry("org.chromium.Chromium.desktop", exec);
    home.writeEntry("microsoft-edge.desktop", "/nonexistent/microsoft-edge %U");
    home.writeEntry("brave-browser.desktop", exec, "Hidden=true\n");

    LinuxWorkspace workspace = makeWorkspace();
    const std::vector<std::pair<std::string, std::optional<std::string>>> table = {
        {"com.google.Chrome", "google-chrome.desktop"},
        {"com.vivaldi.Vivaldi", "com.vivaldi.Vivaldi.desktop"},
        {"org.mozilla.firefox", "firefox-esr.desktop"},
        {"org.chromium.Chromium", "chromium-browser.desktop"},  // the package before Flatpak and Snap
        {"com.microsoft.edgemac", std::nullopt},  // its program is missing
        {"com.brave.Browser", std::nullopt},      // hidden
        {"com.apple.Safari", std::nullopt},
    };
    for (const auto& [identifier, desktopId] : table) {
        const auto found = workspace.urlForApplicationWithBundleIdentifier(identifier);
        EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, desktopId) << identifier;
    }
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier("app.nubrio.desktop"), (std::vector<int>{4242, 17}));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.google.Chrome").empty());
}

TEST(LinuxWorkspace, LaunchesDetachedWithTheArgumentsAfterTheEntrysCommand) {
    struct Case {
        const char* name;
        const char* recorder;  // relative to the home
        const char* exec;      // {rec} stands for the recorder, {bin} for its folder
        std::vector<std::string> expected;  // before the two app-window arguments; {entry} is the entry file
    };
    const std::vector<Case> table = {
        {"plain", "bin/google-chrome", "{rec} %U", {}},
        {"flatpak", "bin/flatpak", "{bin}/flatpak run --branch=stable --arch=x86_64 com.google.Chrome @@u %U @@",
         {"run", "--branch=stable", "--arch=x86_64", "com.google.Chrome", "@@u", "@@"}},
        {"env", "bin/chrome", "env NUBRIO_TEST=1 {rec} --incognito %u", {"--incognito"}},
        {"quoting and field codes", "Mis Apps/chrome ñ",
         "\"{rec}\" \"a \\\\\"b\\\\\" \\\\$HOME \\\\\\\\x\" 100%% --file=%f %i %c %k %F %d",
         {"a \"b\" $HOME \\x", "100%", "--file=", "--icon", "chrome-icon", "Google Chrome", "{entry}"}},
    };
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        DesktopHome home;
        const auto recorder = home.path() / row.recorder;
        DesktopHome::writeRecorder(recorder);
        const std::string exec =
            replaced(replaced(row.exec, "{rec}", recorder.string()), "{bin}", recorder.parent_path().string());
        const auto entry =
            home.writeEntry("google-chrome.desktop", exec, "Name=Google Chrome\nIcon=chrome-icon\n");

        LinuxWorkspace workspace = makeWorkspace();
        const Completion completion = openAndWait(workspace, "google-chrome.desktop");
        EXPECT_EQ(completion.calls, 1);
        EXPECT_FALSE(completion.error) << completion.error->message;

        std::vector<std::string> expected;
        for (const std::string& argument : row.expected) expected.push_back(replaced(argument, "{entry}", entry.string()));
        expected.insert(expected.end(), kAppWindowArguments.begin(), kAppWindowArguments.end());
        EXPECT_EQ(DesktopHome::waitForRecord(recorder), expected);

        // Its own session, and nobody's child here: nothing to wait for, no zombie.
        int pid = 0, session = -1;
        std::ifstream(DesktopHome::sessionOf(recorder)) >> pid >> session;
        EXPECT_EQ(pid, session);
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

TEST(LinuxWorkspace, FailedLaunchesReachTheCompletionWithTheReason) {
    struct Case {
        const char* name;
        std::optional<std::string> exec;  // none: no entry at all; {rec} stands for the recorder
        std::string reason;                // in the error's text
        bool brokenInterpreter = false;
    };
    const std::string notFound = g_strerror(ENOENT);
    const std::vector<Case> table = {
        {"no entry", std::nullopt, notFound},
        {"program missing", "/nonexistent/google-chrome %U", notFound},  // GIO does not list it
        {"unbalanced quote", "\"{rec} %U", notFound},                    // nor this one
        {"quote inside an argument", "{rec} --profile=\"Work\" %U", "comillas"},
        {"unknown field code", "{rec} %z", "%z"},
        {"interpreter missing", "{rec} %U", notFound, true},  // exec fails: GLib's text
    };
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        DesktopHome home;
        const auto recorder = home.path() / "bin/google-chrome";
        DesktopHome::writeRecorder(recorder);
        if (row.brokenInterpreter) {
            nubrio::testing::writeFile(recorder, "#!/nonexistent/sh\nexit 0\n");
            std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
        }
        if (row.exec) home.writeEntry("google-chrome.desktop", replaced(*row.exec, "{rec}", recorder.string()));

        LinuxWorkspace workspace = makeWorkspace();
        const Completion completion = openAndWait(workspace, "google-chrome.desktop");
        EXPECT_EQ(completion.calls, 1);
        ASSERT_TRUE(completion.error);
        EXPECT_NE(completion.error->message.find(row.reason), std::string::npos) << completion.error->message;
        EXPECT_FALSE(std::filesystem::exists(DesktopHome::recordOf(recorder)));
    }
}

TEST(LinuxWorkspace, FirefoxGetsThePageThroughGio) {
    DesktopHome home;
    const auto recorder = home.path() / "bin/firefox";
    DesktopHome::writeRecorder(recorder);
    home.writeEntry("firefox.desktop", recorder.string() + " %u");

    LinuxWorkspace workspace = makeWorkspace();
    workspace.openUrlsWithApplication({"https://nubrio.app/?app=1#app/crear"}, ApplicationRef{"firefox.desktop"}, {});
    EXPECT_EQ(DesktopHome::waitForRecord(recorder), (std::vector<std::string>{"https://nubrio.app/?app=1#app/crear"}));
}

TEST(LinuxWorkspace, OpenUrlUsesTheDefaultHandler) {
    DesktopHome home;
    const auto recorder = home.path() / "bin/browser";
    DesktopHome::writeRecorder(recorder);
    home.writeEntry("google-chrome.desktop", recorder.string() + " %U");
    home.writeDefaults({{"x-scheme-handler/https", "google-chrome.desktop"}});

    LinuxWorkspace workspace = makeWorkspace();
    EXPECT_TRUE(workspace.openUrl("https://www.google.com/chrome/"));
    EXPECT_EQ(DesktopHome::waitForRecord(recorder), (std::vector<std::string>{"https://www.google.com/chrome/"}));
    EXPECT_FALSE(workspace.openUrl("nubrio-nothing://here"));
}

// GIO hands a local file address to the handler as a path: what arrives shows that the address we
// built decoded to the folder itself.
TEST(LinuxWorkspace, OpenFolderReachesTheFolderHandler) {
    DesktopHome home;
    const auto recorder = home.path() / "bin/files";
    DesktopHome::writeRecorder(recorder);
    home.writeEntry("files.desktop", recorder.string() + " %U");
    home.writeDefaults({{"inode/directory", "files.desktop"}});
    const auto folder = home.path() / "Mis archivos ñ";
    std::filesystem::create_directories(folder);

    LinuxWorkspace workspace = makeWorkspace();
    EXPECT_TRUE(workspace.openFolder(folder));
    EXPECT_EQ(DesktopHome::waitForRecord(recorder), (std::vector<std::string>{folder.string()}));
}

// "Ver archivos de esta computadora" before the data folder exists, with nothing to open folders: it fails
// and leaves the home as it was, the data folder included.
TEST(LinuxWorkspace, FailingToOpenAFolderCreatesNothing) {
    DesktopHome home;
    const auto folder = home.dataHome() / "Nubrio";
    auto listing = [&] {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path()))
            paths.push_back(entry.path().string());
        std::ranges::sort(paths);
        return paths;
    };
    const std::vector<std::string> before = listing();

    LinuxWorkspace workspace = makeWorkspace();
    EXPECT_FALSE(workspace.openFolder(folder));
    EXPECT_EQ(listing(), before);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

long peakKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Files that GIO reads by itself, planted as a neighbour would: a FIFO that no one writes, or 100 MB.
// Each lookup answers "none" at once, without reading them, and leaves nothing hanging.
TEST(LinuxWorkspace, FifosAndOversizeFilesThatGioWouldReadMakeTheLookupsAnswerNone) {
    enum class Kind { Fifo, Huge };
    const struct {
        const char* name;
        std::string where;  // under the home
        Kind kind;
    } table[] = {
        {"a FIFO as the user's mimeapps.list", ".config/mimeapps.list", Kind::Fifo},
        {"100 MB as the user's mimeapps.list", ".config/mimeapps.list", Kind::Huge},
        {"a FIFO as the applications' mimeinfo.cache", ".local/share/applications/mimeinfo.cache", Kind::Fifo},
        {"a FIFO as the default browser's entry", ".local/share/applications/google-chrome.desktop", Kind::Fifo},
        {"100 MB as the default browser's entry", ".local/share/applications/google-chrome.desktop", Kind::Huge},
        {"a FIFO as the entry under a sub-folder", ".local/share/applications/google/chrome.desktop", Kind::Fifo},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        DesktopHome home;
        const auto recorder = home.path() / "bin/browser";
        DesktopHome::writeRecorder(recorder);
        home.writeEntry("firefox.desktop", recorder.string() + " %u");
        home.writeEntry("microsoft-edge.desktop", recorder.string() + " %U");
        const std::filesystem::path planted = home.path() / row.where;
        if (planted.filename() != "mimeapps.list") home.writeDefaults({{"x-scheme-handler/https", "google-chrome.desktop"}});
        std::filesystem::create_directories(planted.parent_path());
        std::filesystem::remove(planted);
        if (row.kind == Kind::Fifo) {
            ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
        } else {
            const int fd = ::open(planted.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::ftruncate(fd, 100L * 1024 * 1024), 0);  // sparse: costs no disk
            ::close(fd);
        }

        const long peakBefore = peakKilobytes();
        const auto started = std::chrono::steady_clock::now();
        LinuxWorkspace workspace = makeWorkspace();
        EXPECT_EQ(workspace.urlForApplicationToOpenUrl("https://nubrio.app"), std::nullopt);
        EXPECT_EQ(workspace.urlForApplicationWithBundleIdentifier("com.google.Chrome"), std::nullopt);
        // A list is read by every lookup; an entry only by the lookups of its own ID.
        const bool list = planted.filename() != "google-chrome.desktop" && planted.filename() != "chrome.desktop";
        EXPECT_EQ(workspace.urlForApplicationWithBundleIdentifier("com.microsoft.edgemac").has_value(), !list);
        EXPECT_FALSE(workspace.openUrl("https://nubrio.app/descargar"));
        const auto took = std::chrono::steady_clock::now() - started;

        EXPECT_EQ(nubrio::linux_platform::app_lookup::hanging(), 0) << "answered before GIO was asked";
        EXPECT_LT(took, std::chrono::seconds(10));
        EXPECT_LT(peakKilobytes() - peakBefore, 50 * 1024) << "the file was not read";
        EXPECT_EQ(row.kind == Kind::Fifo, std::filesystem::is_fifo(planted)) << "left as it was";
    }
}

// A file that GIO reads without our looking first (an entry only associated with the type): the
// lookup that hangs on it answers "none" after the deadline, and meanwhile every other lookup answers
// at once instead of queueing behind GIO's lock. Once the FIFO has a writer, GIO is asked again.
TEST(LinuxWorkspace, ALookupThatHangsIsLeftBehindAndTheOthersAnswerAtOnce) {
    DesktopHome home;
    const auto recorder = home.path() / "bin/browser";
    DesktopHome::writeRecorder(recorder);
    home.writeEntry("firefox.desktop", recorder.string() + " %u");
    const std::filesystem::path fifo = home.applications() / "hung-browser.desktop";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    nubrio::testing::writeFile(home.configHome() / "mimeapps.list",
                               "[Added Associations]\nx-scheme-handler/https=hung-browser.desktop;\n");

    LinuxWorkspace workspace = makeWorkspace();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(workspace.urlForApplicationToOpenUrl("https://nubrio.app"), std::nullopt);
    const auto firstTook = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(nubrio::linux_platform::app_lookup::hanging(), 1);
    EXPECT_GE(firstTook, nubrio::linux_platform::app_lookup::kDeadline);
    EXPECT_LT(firstTook, nubrio::linux_platform::app_lookup::kDeadline + std::chrono::seconds(10));

    started = std::chrono::steady_clock::now();
    EXPECT_EQ(workspace.urlForApplicationWithBundleIdentifier("org.mozilla.firefox"), std::nullopt);
    EXPECT_EQ(workspace.urlForApplicationToOpenUrl("https://nubrio.app"), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, nubrio::linux_platform::app_lookup::kDeadline) << "not queued behind the first";
    EXPECT_EQ(nubrio::linux_platform::app_lookup::hanging(), 1) << "no second thread left behind";

    // A writer that closes at once: GIO reads an empty file and goes on.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::close(writer);
    EXPECT_TRUE(nubrio::testing::spinUntil([] { return nubrio::linux_platform::app_lookup::hanging() == 0; }, std::chrono::seconds(20)));
    const auto firefox = workspace.urlForApplicationWithBundleIdentifier("org.mozilla.firefox");
    EXPECT_EQ(firefox ? std::optional(firefox->id) : std::nullopt, "firefox.desktop");
}

}  // namespace
