#include "platform/linux/desktop_entry.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <memory>

#include "platform/linux/system_error.h"

namespace nubrio::linux_platform::desktop_entry {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool isReserved(char c) {
    return std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos;
}

// Inside quotes these four must carry a backslash.
bool needsEscapeInQuotes(char c) { return c == '"' || c == '`' || c == '$' || c == '\\'; }

ParsedExec invalid(const std::string& why) { return ParsedExec{{}, "Exec no válido: " + why}; }

struct KeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
using OwnedText = std::unique_ptr<char, GFreeDeleter>;

}  // namespace

ParsedExec parseExec(std::string_view exec, const ExecFields& fields) {
    // First the quoting: split into words and undo the quotes and escapes.
    std::vector<std::string> words;
    std::size_t i = 0;
    for (;;) {
        while (i < exec.size() && isSeparator(exec[i])) ++i;
        if (i == exec.size()) break;
        std::string word;
        if (exec[i] == '"') {
            ++i;
            bool closed = false;
            while (i < exec.size()) {
                char c = exec[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                // A backslash before any other character stays, as in the shell's double quotes.
                if (c == '\\' && i < exec.size() && needsEscapeInQuotes(exec[i])) c = exec[i++];
                word += c;
            }
            if (!closed) return invalid("falta la comilla de cierre");
            if (i < exec.size() && !isSeparator(exec[i]))
                return invalid("las comillas deben abarcar el argumento entero");
        } else {
            while (i < exec.size() && !isSeparator(exec[i])) {
                char c = exec[i++];
                if (c == '"' || c == '\'' || c == '\\')
                    return invalid(std::string("el carácter ") + c + " solo puede ir entre comillas dobles");
                word += c;
            }
        }
        words.push_back(std::move(word));
    }

    // Then the field codes.
    ParsedExec parsed;
    for (const std::string& word : words) {
        if (word == "%i") {
            if (!fields.icon.empty()) {
                parsed.argv.push_back("--icon");
                parsed.argv.push_back(fields.icon);
            }
            continue;
        }
        std::string argument;
        bool onlyCodes = !word.empty();
        for (std::size_t k = 0; k < word.size(); ++k) {
            if (word[k] != '%') {
                argument += word[k];
                onlyCodes = false;
                continue;
            }
            if (++k == word.size()) return invalid("un % suelto al final de un argumento");
            switch (word[k]) {
            case '%':
                argument += '%';
                onlyCodes = false;
                break;
            case 'f': case 'F': case 'u': case 'U':            // no files or addresses to pass
            case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':  // deprecated
                break;
            case 'c':
                argument += fields.name;
                break;
            case 'k':
                argument += fields.location;
                break;
            case 'i':
                return invalid("%i debe ser un argumento por sí solo");
            default:
                return invalid(std::string("código de campo desconocido %") + word[k]);
            }
        }
        if (onlyCodes && argument.empty()) continue;
        parsed.argv.push_back(std::move(argument));
    }
    if (parsed.argv.empty()) return invalid("no nombra ningún programa");
    return parsed;
}

std::string quoteExecArgument(std::string_view argument) {
    std::string escaped;
    bool needsQuotes = argument.empty();
    for (char c : argument) {
        if (isReserved(c)) needsQuotes = true;
        escaped += c;
        if (c == '%') escaped += '%';
    }
    if (!needsQuotes) return escaped;
    std::string quoted = "\"";
    for (char c : escaped) {
        if (needsEscapeInQuotes(c)) quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

std::optional<EntryKeys> readEntry(const std::filesystem::path& path, std::string* whyNot) {
    KeyFile file(g_key_file_new());
    GError* error = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &error)) {
        if (whyNot) *whyNot = error->message;
        g_error_free(error);
        return std::nullopt;
    }
    if (!g_key_file_has_group(file.get(), kGroup)) {
        if (whyNot) *whyNot = "no tiene el grupo [Desktop Entry]";
        return std::nullopt;
    }
    EntryKeys keys;
    // Without an error argument GLib keeps undefined escapes such as \" as written, as it does for
    // any entry it launches.
    if (OwnedText exec{g_key_file_get_string(file.get(), kGroup, "Exec", nullptr)}) {
        ParsedExec parsed = parseExec(exec.get());
        if (!parsed.error) keys.program = parsed.argv.front();
    }
    if (OwnedText tryExec{g_key_file_get_string(file.get(), kGroup, "TryExec", nullptr)}) keys.tryExec = tryExec.get();
    keys.hidden = g_key_file_get_boolean(file.get(), kGroup, "Hidden", nullptr);
    GError* enabledError = nullptr;
    gboolean enabled = g_key_file_get_boolean(file.get(), kGroup, "X-GNOME-Autostart-enabled", &enabledError);
    if (enabledError)
        g_error_free(enabledError);  // missing or unreadable: enabled, as the session managers read it
    else
        keys.autostartEnabled = enabled;
    return keys;
}

std::string entryText(const std::vector<std::pair<std::string, std::string>>& keys) {
    KeyFile file(g_key_file_new());
    for (const auto& [key, value] : keys) g_key_file_set_string(file.get(), kGroup, key.c_str(), value.c_str());
    gsize length = 0;
    OwnedText data{g_key_file_to_data(file.get(), &length, nullptr)};
    return std::string(data.get(), length);
}

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.lexically_normal() == b.lexically_normal()) return true;
    std::error_code ignored;
    return std::filesystem::equivalent(a, b, ignored);
}

std::optional<platform::Error> writeFileAtomically(const std::filesystem::path& path, const std::string& contents) {
    const std::filesystem::path folder = path.parent_path();
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) return systemError(errno, folder.string());
    GError* error = nullptr;
    if (!g_file_set_contents(path.c_str(), contents.data(), static_cast<gssize>(contents.size()), &error)) {
        platform::Error failure = gioError(error);
        g_error_free(error);
        return failure;
    }
    return std::nullopt;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    char* data = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &data, &length, nullptr)) return std::nullopt;
    OwnedText owner{data};
    return std::string(data, length);
}

}  // namespace nubrio::linux_platform::desktop_entry
