#include "platform/linux/base/loaded_library.h"

#include <dlfcn.h>

namespace nubrio::linux_platform::loaded_library {

namespace {

std::string lastError(const std::string& otherwise) {
    const char* why = dlerror();
    return why ? why : otherwise;
}

}  // namespace

void* open(const char* file, std::string& failure) {
    void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!handle) failure = lastError(std::string("cannot load ") + file);
    return handle;
}

void* find(void* handle, const char* name, std::string& failure) {
    dlerror();  // drops an earlier message: the one read below is this lookup's
    void* address = dlsym(handle, name);
    if (!address && failure.empty()) failure = lastError(std::string("no ") + name);
    return address;
}

}  // namespace nubrio::linux_platform::loaded_library
