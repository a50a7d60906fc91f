#pragma once
// Libraries opened at run time rather than linked, to keep them off the start. They are never closed:
// what they hand out lives as long as the program.
#include <string>

namespace nubrio::linux_platform::loaded_library {

// The library's handle (a name is looked up as the dynamic loader does, a path is taken as it is), or
// null with `failure` saying why.
void* open(const char* file, std::string& failure);

// The symbol's address, or null; the first symbol missing says why in `failure`.
void* find(void* handle, const char* name, std::string& failure);

template <typename Function>
Function find(void* handle, const char* name, std::string& failure) {
    return reinterpret_cast<Function>(find(handle, name, failure));
}

}  // namespace nubrio::linux_platform::loaded_library
