#pragma once
// Key files (desktop entries, mimeapps lists) read whole or not at all: a file that GLib cannot parse
// completely is never taken for the part it did parse, so nothing writes back a file it only half read.
#include <filesystem>
#include <string>

#include <glib.h>

#include "platform/linux/base/glib_owner.h"

namespace nubrio::linux_platform::key_file {

struct Loaded {
    KeyFilePtr file;       // none unless the whole file was read and parsed
    bool missing = false;  // there is no file (an empty key file may stand in for it)
    std::string why;       // otherwise, why it was not taken
};

// Parses a key file's whole text.
Loaded parse(const std::string& text, GKeyFileFlags flags = G_KEY_FILE_NONE);

// Reads the file through files::readFile (a regular file, bounded, never waiting) and parses it.
Loaded load(const std::filesystem::path& path, GKeyFileFlags flags = G_KEY_FILE_NONE);

}  // namespace nubrio::linux_platform::key_file
