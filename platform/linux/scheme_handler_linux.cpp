#include "platform/linux/scheme_handler_linux.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "platform/linux/desktop_entry.h"

namespace nubrio::linux_platform {

namespace {

constexpr const char* kEntryName = "app.nubrio.desktop.desktop";
constexpr const char* kSchemeType = "x-scheme-handler/nubrio";

struct Free {
    void operator()(void* memory) const { g_free(memory); }
};
using OwnedText = std::unique_ptr<char, Free>;

// GLib's own folders, not the environment: GIO must find the entry under its ID there.
std::filesystem::path applicationsFolder() {
    return std::filesystem::path(g_get_user_data_dir()) / "applications";
}

std::filesystem::path entryPath() {
    return applicationsFolder() / kEntryName;
}

std::string entryTextFor(const std::filesystem::path& executable) {
    return desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"NoDisplay", "true"},
        {"Exec", desktop_entry::quoteExecArgument(executable.string()) + " %u"},
        {"TryExec", executable.string()},
        {"MimeType", std::string(kSchemeType) + ";"},
        {"Terminal", "false"},
    });
}

// Whether the user's mimeapps.list names our entry first as the scheme's default.
bool isUserDefault() {
    const std::filesystem::path list = std::filesystem::path(g_get_user_config_dir()) / "mimeapps.list";
    GKeyFile* file = g_key_file_new();
    bool named = false;
    if (g_key_file_load_from_file(file, list.c_str(), G_KEY_FILE_NONE, nullptr)) {
        gchar** handlers = g_key_file_get_string_list(file, "Default Applications", kSchemeType, nullptr, nullptr);
        named = handlers && handlers[0] && std::string(handlers[0]) == kEntryName;
        g_strfreev(handlers);
    }
    g_key_file_free(file);
    return named;
}

// GIO needs no mimeinfo.cache for a default named in mimeapps.list, but one that already exists in
// the folder would now be stale for the tools that read it.
void refreshMimeCacheIfPresent() {
    const std::filesystem::path folder = applicationsFolder();
    std::error_code ignored;
    if (!std::filesystem::exists(folder / "mimeinfo.cache", ignored)) return;
    OwnedText tool{g_find_program_in_path("update-desktop-database")};
    if (!tool) return;
    std::string folderText = folder.string();
    char* argv[] = {tool.get(), folderText.data(), nullptr};
    g_spawn_async(nullptr, argv, nullptr,
                  GSpawnFlags(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr, nullptr, nullptr,
                  nullptr);
}

}  // namespace

void registerSchemeHandler(const std::filesystem::path& bundleExecutable) {
    const std::filesystem::path path = entryPath();
    const std::string text = entryTextFor(bundleExecutable);
    if (desktop_entry::readFile(path) != text) {
        if (desktop_entry::writeFileAtomically(path, text)) return;
        refreshMimeCacheIfPresent();
    }
    if (isUserDefault()) return;
    GDesktopAppInfo* entry = g_desktop_app_info_new_from_filename(path.c_str());
    if (!entry) return;
    // Only an entry with an ID (one inside GIO's data folders) can be named in mimeapps.list.
    const char* id = g_app_info_get_id(G_APP_INFO(entry));
    if (id && std::string(id) == kEntryName)
        g_app_info_set_as_default_for_type(G_APP_INFO(entry), kSchemeType, nullptr);
    g_object_unref(entry);
}

void unregisterSchemeHandlerIfBundleGone(const std::filesystem::path& bundleExecutable) {
    std::error_code error;
    const bool present = std::filesystem::exists(bundleExecutable, error);
    if (present || error) return;  // when in doubt, the bundle is still there

    const std::filesystem::path path = entryPath();
    if (std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path)) {
        const bool ours = (keys->program && desktop_entry::samePath(*keys->program, bundleExecutable)) ||
                          (!keys->tryExec.empty() && desktop_entry::samePath(keys->tryExec, bundleExecutable));
        if (!ours) return;  // another copy of Nubrio has registered since
        if (std::remove(path.c_str()) != 0) return;
        refreshMimeCacheIfPresent();
    }
    // Also a default left behind by an entry that is already gone.
    if (isUserDefault()) g_app_info_reset_type_associations(kSchemeType);
}

}  // namespace nubrio::linux_platform
