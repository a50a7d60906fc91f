#pragma once
// The user's choice of application per content type, in the mimeapps.list files of the freedesktop
// association rules. Read in their order of precedence; the user's own file is edited in place: its
// comments, other entries, mode and links (a dotfiles set-up) are kept.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace nubrio::linux_platform::mimeapps {

// The lists in the order they count: for the user's and then the system's configuration folders, and
// then the (older) applications folders, each desktop's own list (<desktop>-mimeapps.list, for the
// desktops in $XDG_CURRENT_DESKTOP) before the common one.
std::vector<std::filesystem::path> lookupOrder();

// The desktop-file IDs named as defaults for the type, in the order they count (some may name
// entries that are no longer installed).
std::vector<std::string> namedDefaults(const std::string& type);

// Makes the entry a handler of the type in the user's mimeapps.list, as GIO's own calls do
// (g_app_info_set_as_default_for_type writes both groups, g_app_info_add_supports_type the second):
// with `asDefault` the first of its [Default Applications], and in any case one of its [Added
// Associations]. Nothing is changed when the user's [Removed Associations] there names it; the list
// is rewritten only when this changes it.
std::optional<platform::Error> addUserHandler(const std::string& type, const std::string& desktopId, bool asDefault);

// Takes the entry out of the defaults and added associations for the type in every list of the user.
void removeFromUserLists(const std::string& type, const std::string& desktopId);

}  // namespace nubrio::linux_platform::mimeapps
