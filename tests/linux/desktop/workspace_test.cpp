// The workspace against real desktop entries in a temporary home: GIO's lookups, and launches of
// small recorder scripts standing in for the browsers.
#include <gio/gio.h>
#include <glib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
