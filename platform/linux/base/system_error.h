#pragma once
// Platform errors carrying the system's own text: strerror for errno values, GLib's message for a
// GError (both in the user's language).
#include <string>

#include "platform/error.h"

typedef struct _GError GError;

namespace nubrio::linux_platform {

// `context` (usually the path concerned) goes in front of the system's text.
platform::Error systemError(int code, const std::string& context = {});
platform::Error gioError(const GError* error);

}  // namespace nubrio::linux_platform
