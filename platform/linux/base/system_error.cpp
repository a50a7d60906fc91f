#include "platform/linux/base/system_error.h"

#include <glib.h>

namespace nubrio::linux_platform {

platform::Error systemError(int code, const std::string& context) {
    std::string text = g_strerror(code);
    return platform::Error{"POSIX", code, context.empty() ? text : context + ": " + text};
}

platform::Error gioError(const GError* error) {
    if (!error) return platform::Error{"GLib", 0, ""};
    return platform::Error{g_quark_to_string(error->domain), error->code, error->message ? error->message : ""};
}

}  // namespace nubrio::linux_platform
