#include "platform/linux/desktop/gio_library.h"

#include <string>

#include "platform/linux/base/loaded_library.h"
#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform::gio {

namespace {

struct Loaded {
    Library functions{};
    std::string failure;  // empty when every function was found
};

Loaded load() {
    Loaded loaded;
    if (void* handle = loaded_library::open("libgio-2.0.so.0", loaded.failure)) {
        Library& f = loaded.functions;
#define NUBRIO_GIO_FIND(name) f.name = loaded_library::find<decltype(f.name)>(handle, "g_" #name, loaded.failure);
        NUBRIO_GIO_FUNCTIONS(NUBRIO_GIO_FIND)
#undef NUBRIO_GIO_FIND
    }
    if (!loaded.failure.empty()) program_log::write("cannot use GIO: " + loaded.failure);
    return loaded;
}

}  // namespace

const Library* library(GError** error) {
    static const Loaded loaded = load();  // thread-safe, once
    if (loaded.failure.empty()) return &loaded.functions;
    // GIO's own error domain, named without its quark function, which lives in GIO.
    g_set_error(error, g_quark_from_static_string("g-io-error-quark"), G_IO_ERROR_NOT_SUPPORTED, "%s",
                loaded.failure.c_str());
    return nullptr;
}

}  // namespace nubrio::linux_platform::gio
