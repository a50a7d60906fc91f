#include "platform/linux/desktop/desktop_entry.h"

#include <cerrno>

#include <glib.h>

#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/key_file.h"
#include "platform/linux/base/utf8.h"

namespace nubrio::linux_platform::desktop_entry {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool isReserved(char c) {
    return std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos;
}

// Inside quotes these four must carry a backslash.
bool needsEscapeInQuotes(char c) { return c == '"' || c == '`' || c == '$' || c == '\\'; }

ParsedExec invalid(const std::string& why) { return ParsedExec{{}, "Exec no válido: " + why}; }

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

std::optional<platform::Error> unlaunchableReason(const std::filesystem::path& program, bool atLogin) {
    const std::string& text = program.native();
    // `pronoun` stands for `what` in the advice, in its number.
    const auto refusal = [&](const std::string& what, const char* pronoun = "lo") {
        const GText shown{g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()))};
        return platform::Error{"DesktopEntry", EINVAL, "La ruta de Nubrio «" + std::string(shown.get()) + "» tiene " + what +
               ", y el escritorio no puede abrir un programa desde ahí. Mové Nubrio.app a una carpeta cuyo "
               "nombre no " + pronoun + " tenga y volvé a intentarlo."};
    };
    if (!isValidUtf8(text)) return refusal("bytes que no son texto UTF-8", "los");
    for (char c : text) {
        if (c == '%') return refusal("el carácter «%»");
        if (c == '\\') return refusal("el carácter «\\»");
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return refusal("un carácter de control");
        if (atLogin && std::string_view("'\"$`").find(c) != std::string_view::npos)
            return refusal(std::string("el carácter «") + c + "»");
    }
    return std::nullopt;
}

namespace {

std::optional<EntryKeys> entryKeys(const key_file::Loaded& loaded, std::string* whyNot) {
    if (!loaded.file) {
        if (whyNot) *whyNot = loaded.why;
        return std::nullopt;
    }
    GKeyFile* const file = loaded.file.get();
    if (!g_key_file_has_group(file, kGroup)) {
        if (whyNot) *whyNot = "no tiene el grupo [Desktop Entry]";
        return std::nullopt;
    }
    EntryKeys keys;
    // Without an error argument GLib keeps undefined escapes such as \" as written, as it does for
    // any entry it launches.
    if (GText exec{g_key_file_get_string(file, kGroup, "Exec", nullptr)}) {
        ParsedExec parsed = parseExec(exec.get());
        if (!parsed.error) keys.program = parsed.argv.front();
    }
    if (GText tryExec{g_key_file_get_string(file, kGroup, "TryExec", nullptr)}) keys.tryExec = tryExec.get();
    keys.hidden = g_key_file_get_boolean(file, kGroup, "Hidden", nullptr);
    GErrorOut enabledError;
    const gboolean enabled = g_key_file_get_boolean(file, kGroup, "X-GNOME-Autostart-enabled", enabledError);
    // Missing or unreadable: enabled, as the session managers read it.
    if (!enabledError.get()) keys.autostartEnabled = enabled;
    return keys;
}

}  // namespace

std::optional<EntryKeys> readEntry(const std::filesystem::path& path, std::string* whyNot) {
    return entryKeys(key_file::load(path), whyNot);
}

std::optional<EntryKeys> parseEntry(const std::string& text, std::string* whyNot) {
    return entryKeys(key_file::parse(text), whyNot);
}

std::string entryText(const std::vector<std::pair<std::string, std::string>>& keys, const std::string& group) {
    KeyFilePtr file(g_key_file_new());
    for (const auto& [key, value] : keys) g_key_file_set_string(file.get(), group.c_str(), key.c_str(), value.c_str());
    gsize length = 0;
    GText data{g_key_file_to_data(file.get(), &length, nullptr)};
    return std::string(data.get(), length);
}

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.lexically_normal() == b.lexically_normal()) return true;
    std::error_code ignored;
    return std::filesystem::equivalent(a, b, ignored);
}

}  // namespace nubrio::linux_platform::desktop_entry
