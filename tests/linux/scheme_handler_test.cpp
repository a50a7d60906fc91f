// The nubrio: link handler entry in a temporary home, with a recorder standing in for the bundle
// executable.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <glib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/scheme_handler_linux.h"
#include "support/desktop_home.h"
#include "support/files.h"
#include "support/spin.h"

namespace {

using nubrio::linux_platform::registerSchemeHandler;
using nubrio::linux_platform::unregisterSchemeHandlerIfBundleGone;
using nubrio::testing::DesktopHome;
using nubrio::testing::readFile;
using nubrio::testing::writeFile;

std::filesystem::path handlerEntry(const DesktopHome& home) {
    return home.applications() / "app.nubrio.desktop.desktop";
}

std::filesystem::path bundleExecutable(const DesktopHome& home, const std::string& folder = "Mis Apps") {
    return home.path() / folder / "Nubrio.app/Contents/MacOS/Nubrio";
}

std::optional<std::string> entryKey(const std::filesystem::path& path, const char* group, const char* key) {
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

std::optional<std::string> userDefault(const DesktopHome& home) {
    return entryKey(home.configHome() / "mimeapps.list", "Default Applications", "x-scheme-handler/nubrio");
}

ino_t inodeOf(const std::filesystem::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_ino;
}

TEST(LinuxSchemeHandler, RegistersTheEntryAsTheSchemesDefault) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);

    registerSchemeHandler(executable);
    const auto entry = handlerEntry(home);
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"NoDisplay", "true"},
        {"Exec", "\"" + executable.string() + "\" %u"},
        {"TryExec", executable.string()},
        {"MimeType", "x-scheme-handler/nubrio;"},
        {"Terminal", "false"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(entryKey(entry, "Desktop Entry", key), value) << key;
    EXPECT_EQ(userDefault(home), "app.nubrio.desktop.desktop");
    EXPECT_FALSE(std::filesystem::exists(home.applications() / "mimeinfo.cache"));

    // A link now reaches the bundle executable.
    ASSERT_TRUE(g_app_info_launch_default_for_uri("nubrio://connect", nullptr, nullptr));
    EXPECT_EQ(DesktopHome::waitForRecord(executable), (std::vector<std::string>{"nubrio://connect"}));
}

TEST(LinuxSchemeHandler, RewritesTheEntryOnlyWhenItChanges) {
    DesktopHome home;
    const auto first = bundleExecutable(home, "Applications");
    const auto moved = bundleExecutable(home, "Descargas");
    DesktopHome::writeRecorder(first);
    DesktopHome::writeRecorder(moved);
    // A cache that tools other than GIO read must follow the entry.
    writeFile(home.applications() / "mimeinfo.cache", "[MIME Cache]\n");

    registerSchemeHandler(first);
    const auto entry = handlerEntry(home);
    const ino_t written = inodeOf(entry);
    registerSchemeHandler(first);
    EXPECT_EQ(inodeOf(entry), written);

    registerSchemeHandler(moved);
    EXPECT_NE(inodeOf(entry), written);
    EXPECT_EQ(entryKey(entry, "Desktop Entry", "TryExec"), moved.string());
    EXPECT_TRUE(nubrio::testing::spinUntil(
        [&] { return readFile(home.applications() / "mimeinfo.cache").find("app.nubrio.desktop.desktop") != std::string::npos; },
        std::chrono::seconds(30)));
}

TEST(LinuxSchemeHandler, UnregistersOnlyOnceItsBundleIsGone) {
    DesktopHome home;
    const auto executable = bundleExecutable(home);
    DesktopHome::writeRecorder(executable);
    registerSchemeHandler(executable);
    const auto entry = handlerEntry(home);

    unregisterSchemeHandlerIfBundleGone(executable);  // still there
    EXPECT_TRUE(std::filesystem::exists(entry));
    unregisterSchemeHandlerIfBundleGone(bundleExecutable(home, "Papelera"));  // gone, but not the one registered
    EXPECT_TRUE(std::filesystem::exists(entry));
    EXPECT_EQ(userDefault(home), "app.nubrio.desktop.desktop");

    std::filesystem::remove_all(home.path() / "Mis Apps");
    unregisterSchemeHandlerIfBundleGone(executable);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(userDefault(home), std::nullopt);
    GAppInfo* handler = g_app_info_get_default_for_uri_scheme("nubrio");
    EXPECT_EQ(handler, nullptr);
    if (handler) g_object_unref(handler);
}

}  // namespace
