#pragma once
// Owners for what GLib and GIO hand out, so that every path frees each object exactly once.
#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace nubrio::linux_platform {

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
struct GObjectDeleter {
    void operator()(void* object) const { g_object_unref(object); }
};
struct GKeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
struct GStrvDeleter {
    void operator()(char** strings) const { g_strfreev(strings); }
};

using GText = std::unique_ptr<char, GFreeDeleter>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;
using KeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileDeleter>;
using GStrvPtr = std::unique_ptr<char*, GStrvDeleter>;

// The GError** out-parameter of a GLib call: `GErrorOut error; if (!g_call(…, error)) use(error.get());`
class GErrorOut {
public:
    GErrorOut() = default;
    ~GErrorOut() {
        if (error_) g_error_free(error_);
    }
    GErrorOut(const GErrorOut&) = delete;
    GErrorOut& operator=(const GErrorOut&) = delete;

    operator GError**() { return &error_; }
    const GError* get() const { return error_; }

private:
    GError* error_ = nullptr;
};

}  // namespace nubrio::linux_platform
