#include "platform/linux/desktop/gio_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform::gio {

namespace {

constexpr const char* kSoname = "libgio-2.0.so.0";

struct Loaded {
    Library functions{};
    bool complete = false;
    std::string failure;
};

template <typename Function>
bool find(void* handle, const char* name, Function& slot, std::string& failure) {
    slot = reinterpret_cast<Function>(dlsym(handle, name));
    if (!slot && failure.empty()) failure = std::string(kSoname) + " has no " + name;
    return slot != nullptr;
}

Loaded load() {
    Loaded loaded;
    // Never closed: the objects it hands out live as long as the program.
    void* handle = dlopen(kSoname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        loaded.failure = why ? why : std::string("cannot load ") + kSoname;
    } else {
        Library& f = loaded.functions;
        std::string& failure = loaded.failure;
        bool all = true;
#define NUBRIO_GIO_FIND(name) all &= find(handle, "g_" #name, f.name, failure);
        NUBRIO_GIO_FUNCTIONS(NUBRIO_GIO_FIND)
#undef NUBRIO_GIO_FIND
        loaded.complete = all;
    }
    if (!loaded.complete) program_log::write("cannot use GIO: " + loaded.failure);
    return loaded;
}

}  // namespace

const Library* library(GError** error) {
    static const Loaded loaded = load();  // thread-safe, once
    if (loaded.complete) return &loaded.functions;
    // GIO's own error domain, named without its quark function, which lives in GIO.
    g_set_error(error, g_quark_from_static_string("g-io-error-quark"), G_IO_ERROR_NOT_SUPPORTED, "%s",
                loaded.failure.c_str());
    return nullptr;
}

}  // namespace nubrio::linux_platform::gio
