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

// Makes the entry the first default for the type in the user's mimeapps.list.
std::optional<platform::Error> setUserDefault(const std::string& type, const std::string& desktopId);

// Takes the entry out of the defaults and added associations for the type in every list of the user.
void removeFromUserLists(const std::string& type, const std::string& desktopId);

}  // namespace nubrio::linux_platform::mimeapps
