#include "platform/linux/desktop/mimeapps.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/linux/base/files.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/key_file.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/xdg_dirs.h"

namespace nubrio::linux_platform::mimeapps {

namespace {

constexpr const char* kDefaults = "Default Applications";
constexpr const char* kAdded = "Added Associations";
constexpr const char* kRemoved = "Removed Associations";
constexpr const char* kFileName = "mimeapps.list";

// The desktops named in $XDG_CURRENT_DESKTOP, lower case, as their list files are named.
std::vector<std::string> currentDesktops() {
    std::vector<std::string> desktops;
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    if (!value) return desktops;
    const GStrvPtr names(g_strsplit(value, ":", -1));
    for (char** name = names.get(); *name; ++name) {
        if (**name == '\0') continue;
        const GText lower{g_ascii_strdown(*name, -1)};
        desktops.emplace_back(lower.get());
    }
    return desktops;
}

// The lists of one folder, each desktop's own before the common one.
void appendLists(std::vector<std::filesystem::path>& lists, const std::filesystem::path& folder) {
    for (const std::string& desktop : currentDesktops()) lists.push_back(folder / (desktop + "-" + kFileName));
    lists.push_back(folder / kFileName);
}

std::vector<std::filesystem::path> userLists() {
    std::vector<std::filesystem::path> lists;
    appendLists(lists, userConfigHome());
    appendLists(lists, userDataHome() / "applications");
    return lists;
}

std::vector<std::string> stringList(GKeyFile* file, const char* group, const std::string& key) {
    std::vector<std::string> values;
    const GStrvPtr list(g_key_file_get_string_list(file, group, key.c_str(), nullptr, nullptr));
    if (list)
        for (char** value = list.get(); *value; ++value)
            if (**value != '\0') values.emplace_back(*value);
    return values;
}

void setStringList(GKeyFile* file, const char* group, const std::string& key, const std::vector<std::string>& values) {
    if (values.empty()) {
        g_key_file_remove_key(file, group, key.c_str(), nullptr);
        return;
    }
    std::vector<const char*> pointers;
    for (const std::string& value : values) pointers.push_back(value.c_str());
    g_key_file_set_string_list(file, group, key.c_str(), pointers.data(), pointers.size());
}

// Follows links to the file they name, so that writing replaces that file and keeps the link.
std::filesystem::path throughLinks(std::filesystem::path path) {
    for (int depth = 0; depth < 16; ++depth) {
        std::error_code error;
        if (!std::filesystem::is_symlink(path, error)) break;
        const std::filesystem::path target = std::filesystem::read_symlink(path, error);
        if (error) break;
        path = (target.is_absolute() ? target : path.parent_path() / target).lexically_normal();
    }
    return path;
}

constexpr GKeyFileFlags kKeepAll = GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);

// The list for reading: an empty one when it is missing or cannot be read whole.
KeyFilePtr loadForReading(const std::filesystem::path& path) {
    key_file::Loaded loaded = key_file::load(path);
    return loaded.file ? std::move(loaded.file) : KeyFilePtr(g_key_file_new());
}

// The list for rewriting, comments and translations kept: an empty one for a missing file, none for
// a file that could not be read whole, which is then left exactly as it is.
KeyFilePtr loadForEditing(const std::filesystem::path& path, std::string& whyNot) {
    key_file::Loaded loaded = key_file::load(path, kKeepAll);
    if (loaded.file) return std::move(loaded.file);
    if (loaded.missing) return KeyFilePtr(g_key_file_new());
    whyNot = path.string() + " left as it is, as it cannot be read whole: " + loaded.why;
    return nullptr;
}

std::optional<platform::Error> save(GKeyFile* file, const std::filesystem::path& list) {
    const std::filesystem::path target = throughLinks(list);
    struct stat info {};
    const int mode = ::stat(target.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : 0644;
    gsize length = 0;
    const GText data{g_key_file_to_data(file, &length, nullptr)};
    return files::writeFileAtomically(target, std::string(data.get(), length), mode);
}

}  // namespace

std::vector<std::filesystem::path> lookupOrder() {
    std::vector<std::filesystem::path> lists;
    appendLists(lists, userConfigHome());
    for (const std::filesystem::path& folder : systemConfigDirs()) appendLists(lists, folder);
    appendLists(lists, userDataHome() / "applications");
    for (const std::filesystem::path& folder : systemDataDirs()) appendLists(lists, folder / "applications");
    return lists;
}

std::vector<std::string> namedDefaults(const std::string& type) {
    std::vector<std::string> named;
    for (const std::filesystem::path& list : lookupOrder())
        for (std::string& id : stringList(loadForReading(list).get(), kDefaults, type)) named.push_back(std::move(id));
    return named;
}

std::optional<platform::Error> addUserHandler(const std::string& type, const std::string& desktopId, bool asDefault) {
    const std::filesystem::path list = userConfigHome() / kFileName;
    std::string whyNot;
    const KeyFilePtr file = loadForEditing(list, whyNot);
    if (!file) return platform::Error{"MimeappsList", EINVAL, whyNot};
    // The user took it off the type's handlers: that stands.
    const std::vector<std::string> removed = stringList(file.get(), kRemoved, type);
    if (std::find(removed.begin(), removed.end(), desktopId) != removed.end()) return std::nullopt;
    bool changed = false;
    if (asDefault) {
        std::vector<std::string> defaults = stringList(file.get(), kDefaults, type);
        if (defaults.empty() || defaults.front() != desktopId) {
            std::erase(defaults, desktopId);
            defaults.insert(defaults.begin(), desktopId);
            setStringList(file.get(), kDefaults, type, defaults);
            changed = true;
        }
    }
    std::vector<std::string> added = stringList(file.get(), kAdded, type);
    if (std::find(added.begin(), added.end(), desktopId) == added.end()) {
        added.insert(added.begin(), desktopId);
        setStringList(file.get(), kAdded, type, added);
        changed = true;
    }
    return changed ? save(file.get(), list) : std::nullopt;
}

void removeFromUserLists(const std::string& type, const std::string& desktopId) {
    for (const std::filesystem::path& list : userLists()) {
        std::error_code missing;
        if (!std::filesystem::exists(list, missing)) continue;
        std::string whyNot;
        const KeyFilePtr file = loadForEditing(list, whyNot);
        if (!file) {
            program_log::write("cannot remove " + desktopId + ": " + whyNot);
            continue;
        }
        bool changed = false;
        for (const char* group : {kDefaults, kAdded}) {
            std::vector<std::string> entries = stringList(file.get(), group, type);
            if (std::erase(entries, desktopId) == 0) continue;
            setStringList(file.get(), group, type, entries);
            changed = true;
        }
        if (!changed) continue;
        if (std::optional<platform::Error> error = save(file.get(), list))
            program_log::write("cannot remove " + desktopId + " from " + list.string() + ": " + error->message);
    }
}

}  // namespace nubrio::linux_platform::mimeapps
