#pragma once
// Desktop entries in the freedesktop desktop-entry format: the Exec command line (quoting,
// escapes, field codes), reading the keys this program cares about, and the text of an entry.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/build_config.h"
#include "platform/error.h"

namespace nubrio::linux_platform::desktop_entry {

inline constexpr const char* kGroup = "Desktop Entry";

// This program's desktop-file ID, its bundle identifier with ".desktop": the file name of its
// application entry and of its autostart entry.
inline const std::string& ownDesktopId() {
    static const std::string id = std::string(config::BundleIdentifier) + ".desktop";
    return id;
}

// What the field codes %c, %i and %k of an entry stand for.
struct ExecFields {
    std::string name;      // %c: the entry's (translated) Name
    std::string icon;      // %i: "--icon" and the Icon, when there is one
    std::string location;  // %k: the entry file
};

struct ParsedExec {
    std::vector<std::string> argv;    // the program first; empty when the line is not valid
    std::optional<std::string> error;  // why the line is not a valid command
};

// Splits an Exec value (its key-file escapes already undone) into the program and its arguments:
// quoting is undone first, then field codes are expanded. Nothing is opened with the entry, so the
// file and URL codes (%f %F %u %U) and the deprecated ones are dropped; an argument made only of
// dropped codes disappears. Unknown field codes, unbalanced or partial quoting and quote or escape
// characters outside quotes make the line invalid instead of guessing what was meant.
ParsedExec parseExec(std::string_view exec, const ExecFields& fields = {});

// One argument written so that parseExec gives it back unchanged ('%' doubled, quoted when needed).
std::string quoteExecArgument(std::string_view argument);

// Why an entry could not start this program from where it is, in Spanish for the user; none when it
// can. Entries are UTF-8 text; GIO and systemd's autostart generator look a program up before they
// undo the doubling of '%'; the generator refuses a backslash; a control character ends the line or
// the word. Refused rather than written as an entry that shows as present and starts nothing, or
// that this program could no longer recognise as its own. `atLogin`: for an autostart entry, which
// systemd's autostart generator turns into a unit: systemd refuses an executable whose name holds a
// quote, and the generator's escaping of '$' and '`' is one systemd does not undo, so those four are
// refused as well.
std::optional<platform::Error> unlaunchableReason(const std::filesystem::path& program, bool atLogin = false);

// The keys of an existing entry that decide whose it is and whether it is active.
struct EntryKeys {
    std::optional<std::string> program;  // the first word of a valid Exec
    std::string tryExec;
    bool hidden = false;                // Hidden=true: the entry counts as deleted
    bool autostartEnabled = true;       // X-GNOME-Autostart-enabled
};

// Reads an entry file; none when it cannot be read whole as a key file with a [Desktop Entry] group,
// and then, when asked, why not.
std::optional<EntryKeys> readEntry(const std::filesystem::path& path, std::string* whyNot = nullptr);
// The same for an entry's text already read.
std::optional<EntryKeys> parseEntry(const std::string& text, std::string* whyNot = nullptr);

// The text of a group, [Desktop Entry] unless named, with these keys in this order (values get
// key-file escaping).
std::string entryText(const std::vector<std::pair<std::string, std::string>>& keys, const std::string& group = kGroup);

// Whether two paths name the same file: the same normalized text, or the same existing file.
bool samePath(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace nubrio::linux_platform::desktop_entry
