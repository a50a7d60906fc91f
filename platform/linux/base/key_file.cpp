#include "platform/linux/base/key_file.h"

#include <optional>

#include "platform/linux/base/files.h"

namespace nubrio::linux_platform::key_file {

Loaded parse(const std::string& text, GKeyFileFlags flags) {
    Loaded loaded;
    KeyFilePtr file(g_key_file_new());
    GErrorOut error;
    // GLib stops at the first line it cannot parse (a line without '=', a key before any group) and
    // keeps what came before it.
    if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), flags, error)) {
        loaded.why = error.get()->message;
        return loaded;
    }
    loaded.file = std::move(file);
    return loaded;
}

Loaded load(const std::filesystem::path& path, GKeyFileFlags flags) {
    files::ReadFailure failure;
    const std::optional<std::string> bytes = files::readFile(path, files::kMaxSettingsBytes, &failure);
    if (bytes) return parse(*bytes, flags);
    Loaded loaded;
    loaded.missing = failure.missing;
    loaded.why = failure.why;
    return loaded;
}

}  // namespace nubrio::linux_platform::key_file
