#pragma once
// GIO's application lookups with a bound the program sets. GIO reads the mimeapps lists, its caches
// and desktop entries by itself, whole and waiting: a FIFO planted at ~/.config/mimeapps.list would
// hold the caller for good, and a 100 MB entry costs several times that in memory. So the files GIO
// would read are looked at first, as our own reader looks at a file (a FIFO, a device or an oversize
// file makes the lookup answer "none", with a line in the log), and each lookup runs on a thread of
// its own that the caller waits for at most kDeadline. A lookup that hangs is left behind; while one
// hangs, GIO's lock is held and no further lookup is tried.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/desktop/gio_library.h"

namespace nubrio::linux_platform::app_lookup {

inline constexpr std::chrono::milliseconds kDeadline{2000};
// Lookups left hanging at once: GIO holds its lock in the first, so more would only wait behind it.
inline constexpr int kMaxHanging = 1;
// The bound for a list or an entry; mimeinfo.cache, which names every installed application, gets more.
inline constexpr std::size_t kMaxListBytes = 1024 * 1024;
inline constexpr std::size_t kMaxCacheBytes = 8 * 1024 * 1024;

// The installed entry with this desktop-file ID, as GIO finds it (none when its program is missing or
// it is Hidden), or none when it could not be looked up within the bounds; then `why`, when given,
// says why (and the log has said it too).
GObjectPtr<GDesktopAppInfo> installedEntry(const std::string& desktopId, std::string* why = nullptr);

// The desktop-file ID of the default application for the URI scheme, or none.
std::optional<std::string> defaultForScheme(const std::string& scheme);

// GIO's launch of the entry with the URIs in place of its %u/%U.
std::optional<platform::Error> launchUris(const std::string& desktopId, const std::vector<std::string>& uris);

// The URI opened by its default application (a folder's by the file manager).
std::optional<platform::Error> launchDefaultForUri(const std::string& uri);

// Lookups left hanging now.
int hanging();

}  // namespace nubrio::linux_platform::app_lookup
