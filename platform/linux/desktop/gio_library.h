#pragma once
// GIO is loaded on its first use rather than at exec: with the libraries it brings (mount, blkid,
// selinux) it costs the start milliseconds before the tray icon shows, and nothing on that path needs
// it. Only its declarations are included here; the calls go through the table below.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace nubrio::linux_platform::gio {

struct Library {
    decltype(&::g_app_info_get_commandline) app_info_get_commandline;
    decltype(&::g_app_info_get_default_for_uri_scheme) app_info_get_default_for_uri_scheme;
    decltype(&::g_app_info_get_id) app_info_get_id;
    decltype(&::g_app_info_get_name) app_info_get_name;
    decltype(&::g_app_info_launch_default_for_uri) app_info_launch_default_for_uri;
    decltype(&::g_app_info_launch_uris) app_info_launch_uris;
    decltype(&::g_desktop_app_info_get_filename) desktop_app_info_get_filename;
    decltype(&::g_desktop_app_info_get_string) desktop_app_info_get_string;
    decltype(&::g_desktop_app_info_new) desktop_app_info_new;
    decltype(&::g_file_get_uri) file_get_uri;
    decltype(&::g_file_new_for_path) file_new_for_path;
    decltype(&::g_file_trash) file_trash;
};

// Loads GIO once, on the first call from any thread. Null when it cannot be loaded (a broken install:
// GLib's own package ships it); each call then sets `error`, when given, to say why.
const Library* library(GError** error = nullptr);

// A desktop entry as the GAppInfo it implements; GIO's checked cast would need its type function.
inline GAppInfo* appInfo(GDesktopAppInfo* entry) {
    return reinterpret_cast<GAppInfo*>(entry);
}

}  // namespace nubrio::linux_platform::gio
