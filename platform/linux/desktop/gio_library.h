#pragma once
// GIO is loaded on its first use rather than at exec: with the libraries it brings (mount, blkid,
// selinux) it costs the start milliseconds before the tray icon shows, and nothing on that path needs
// it. Only its declarations are included here; the calls go through the table below.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace nubrio::linux_platform::gio {

// The functions used, each once: the table's members and what loading looks up.
#define NUBRIO_GIO_FUNCTIONS(X) \
    X(app_info_get_commandline) \
    X(app_info_get_default_for_uri_scheme) \
    X(app_info_get_id) \
    X(app_info_get_name) \
    X(app_info_launch_default_for_uri) \
    X(app_info_launch_uris) \
    X(desktop_app_info_get_filename) \
    X(desktop_app_info_get_string) \
    X(desktop_app_info_new) \
    X(file_get_uri) \
    X(file_new_for_path) \
    X(file_trash)

struct Library {
#define NUBRIO_GIO_MEMBER(name) decltype(&::g_##name) name;
    NUBRIO_GIO_FUNCTIONS(NUBRIO_GIO_MEMBER)
#undef NUBRIO_GIO_MEMBER
};

// Loads GIO once, on the first call from any thread. Null when it cannot be loaded (a broken install:
// GLib's own package ships it); each call then sets `error`, when given, to say why.
const Library* library(GError** error = nullptr);

// A desktop entry as the GAppInfo it implements; GIO's checked cast would need its type function.
inline GAppInfo* appInfo(GDesktopAppInfo* entry) {
    return reinterpret_cast<GAppInfo*>(entry);
}

}  // namespace nubrio::linux_platform::gio
