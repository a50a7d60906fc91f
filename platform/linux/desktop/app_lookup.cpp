#include "platform/linux/desktop/app_lookup.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/base/files.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/desktop/mimeapps.h"

namespace nubrio::linux_platform::app_lookup {

namespace {

std::atomic<int> hangingLookups{0};

// Says why a lookup was not answered: to the caller who asked, or in the log. The lookups of one
// request (a default and a table of browsers) meet the same refusal: it is logged once a while.
void refuse(const std::string& what, const std::string& why, std::string* out) {
    if (out) {
        *out = why;
        return;
    }
    static std::mutex mutex;
    static std::string last;
    static std::chrono::steady_clock::time_point lastAt;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex);
        if (why == last && now - lastAt < std::chrono::seconds(10)) return;
        last = why;
        lastAt = now;
    }
    program_log::write(what + ": " + why);
}

// Runs `work` on a thread of its own and waits for it at most kDeadline. False when it did not finish
// by then (it is left to finish on its own) or when an earlier one still hangs.
bool runBounded(const std::string& what, std::function<void()> work, std::string* why) {
    if (hangingLookups.load() >= kMaxHanging) {
        refuse(what, "GIO was not asked: an earlier lookup of its still waits for a file it reads", why);
        return false;
    }
    struct Shared {
        std::mutex mutex;
        std::condition_variable finishedOrLate;
        bool finished = false;
        bool abandoned = false;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, work = std::move(work)] {
            work();
            std::lock_guard lock(shared->mutex);
            shared->finished = true;
            if (shared->abandoned) {
                --hangingLookups;
                program_log::write("a lookup of GIO's that had hung has finished: GIO is asked again");
            }
            shared->finishedOrLate.notify_one();
        }).detach();
    } catch (const std::system_error& error) {
        refuse(what, std::string("no thread for GIO's lookup: ") + error.what(), why);
        return false;
    }
    std::unique_lock lock(shared->mutex);
    if (shared->finishedOrLate.wait_for(lock, kDeadline, [&] { return shared->finished; })) return true;
    shared->abandoned = true;
    ++hangingLookups;
    refuse(what,
           "GIO did not answer within " + std::to_string(kDeadline.count()) +
               " ms (a file it reads, a mimeapps list or a desktop entry, may be a FIFO); it is not asked again "
               "until it does",
           why);
    return false;
}

std::vector<std::filesystem::path> applicationFolders() {
    std::vector<std::filesystem::path> folders{userDataHome() / "applications"};
    for (const std::filesystem::path& data : systemDataDirs()) folders.push_back(data / "applications");
    return folders;
}

// Whether a file GIO is about to read by itself is fit for it; otherwise the lookup is refused.
bool fits(const std::filesystem::path& path, std::size_t maxBytes, const std::string& what, std::string* why) {
    std::string reason;
    if (files::fitForReading(path, maxBytes, &reason)) return true;
    refuse(what, "not looked up: GIO would read " + path.string() + ", " + reason, why);
    return false;
}

// What every desktop lookup of GIO reads first: each folder's mimeapps lists, and in the applications
// folders the older defaults.list and the mimeinfo.cache.
bool listsFit(const std::string& what, std::string* why) {
    for (const std::filesystem::path& list : mimeapps::lookupOrder())
        if (!fits(list, kMaxListBytes, what, why)) return false;
    for (const std::filesystem::path& folder : applicationFolders())
        if (!fits(folder / "defaults.list", kMaxListBytes, what, why) ||
            !fits(folder / "mimeinfo.cache", kMaxCacheBytes, what, why))
            return false;
    return true;
}

// The names under which GIO may find a desktop-file ID in an applications folder: an entry in a
// sub-folder has its path with '-' for '/' (kde/foo.desktop is kde-foo.desktop).
void spellings(const std::string& id, std::size_t from, std::vector<std::string>& out) {
    out.push_back(id);
    for (std::size_t dash = id.find('-', from); dash != std::string::npos; dash = id.find('-', dash + 1)) {
        std::string below = id;
        below[dash] = '/';
        spellings(below, dash + 1, out);
    }
}

// The entry GIO would load for the ID: the first applications folder that has one decides.
bool entryFits(const std::string& id, const std::string& what, std::string* why) {
    std::vector<std::string> names;
    // An ID with more dashes than any real one is looked at only as it is written.
    if (std::count(id.begin(), id.end(), '-') <= 6)
        spellings(id, 0, names);
    else
        names.push_back(id);
    for (const std::filesystem::path& folder : applicationFolders()) {
        bool found = false;
        for (const std::string& name : names) {
            const std::filesystem::path path = folder / name;
            std::error_code error;
            if (!std::filesystem::exists(path, error)) continue;
            found = true;
            if (!fits(path, kMaxListBytes, what, why)) return false;
        }
        if (found) return true;
    }
    return true;
}

bool entryLookupFits(const std::string& id, const std::string& what, std::string* why) {
    return listsFit(what, why) && entryFits(id, what, why);
}

// The type whose default application opens the URI.
std::string typeOfUri(const std::string& uri) {
    const char* scheme = g_uri_peek_scheme(uri.c_str());
    const std::string name = scheme ? scheme : "";
    // Only folders are opened by their file: URI.
    return name == "file" ? "inode/directory" : "x-scheme-handler/" + name;
}

bool defaultsFit(const std::string& type, const std::string& what, std::string* why) {
    if (!listsFit(what, why)) return false;
    for (const std::string& id : mimeapps::namedDefaults(type))
        if (!entryFits(id, what, why)) return false;
    return true;
}

platform::Error notLookedUp(const std::string& why) { return platform::Error{"POSIX", ETIMEDOUT, why}; }

}  // namespace

GObjectPtr<GDesktopAppInfo> installedEntry(const std::string& desktopId, std::string* why) {
    if (desktopId.empty()) return nullptr;
    const std::string what = "cannot tell whether " + desktopId + " is installed";
    GErrorOut failure;
    const gio::Library* gio = gio::library(failure);
    if (!gio) {
        if (why) *why = failure.get()->message;
        return nullptr;
    }
    if (!entryLookupFits(desktopId, what, why)) return nullptr;
    auto entry = std::make_shared<GObjectPtr<GDesktopAppInfo>>();
    if (!runBounded(what, [gio, entry, desktopId] { entry->reset(gio->desktop_app_info_new(desktopId.c_str())); }, why))
        return nullptr;
    return std::move(*entry);
}

std::optional<std::string> defaultForScheme(const std::string& scheme) {
    const gio::Library* gio = gio::library();
    if (!gio || scheme.empty()) return std::nullopt;
    const std::string what = "no default application for " + scheme;
    if (!defaultsFit("x-scheme-handler/" + scheme, what, nullptr)) return std::nullopt;
    auto id = std::make_shared<std::optional<std::string>>();
    if (!runBounded(
            what,
            [gio, id, scheme] {
                const GObjectPtr<GAppInfo> handler(gio->app_info_get_default_for_uri_scheme(scheme.c_str()));
                const char* name = handler ? gio->app_info_get_id(handler.get()) : nullptr;
                if (name) *id = name;
            },
            nullptr))
        return std::nullopt;
    return *id;
}

std::optional<platform::Error> launchUris(const std::string& desktopId, const std::vector<std::string>& uris) {
    GErrorOut failure;
    const gio::Library* gio = gio::library(failure);
    if (!gio) return gioError(failure.get());
    const std::string what = "cannot open pages with " + desktopId;
    std::string why;
    if (!entryLookupFits(desktopId, what, &why)) return notLookedUp(why);
    auto result = std::make_shared<std::optional<platform::Error>>();
    if (!runBounded(
            what,
            [gio, result, desktopId, uris] {
                const GObjectPtr<GDesktopAppInfo> entry(gio->desktop_app_info_new(desktopId.c_str()));
                if (!entry) {
                    *result = platform::Error{"DesktopEntry", ENOENT, desktopId + ": it is no longer installed"};
                    return;
                }
                GList* list = nullptr;
                for (auto uri = uris.rbegin(); uri != uris.rend(); ++uri)
                    list = g_list_prepend(list, const_cast<char*>(uri->c_str()));
                GErrorOut error;
                if (!gio->app_info_launch_uris(gio::appInfo(entry.get()), list, nullptr, error))
                    *result = gioError(error.get());
                g_list_free(list);
            },
            &why))
        return notLookedUp(why);
    return *result;
}

std::optional<platform::Error> launchDefaultForUri(const std::string& uri) {
    GErrorOut failure;
    const gio::Library* gio = gio::library(failure);
    if (!gio) return gioError(failure.get());
    const std::string what = "cannot open " + uri;
    std::string why;
    if (!defaultsFit(typeOfUri(uri), what, &why)) return notLookedUp(why);
    auto result = std::make_shared<std::optional<platform::Error>>();
    if (!runBounded(
            what,
            [gio, result, uri] {
                GErrorOut error;
                if (!gio->app_info_launch_default_for_uri(uri.c_str(), nullptr, error)) *result = gioError(error.get());
            },
            &why))
        return notLookedUp(why);
    return *result;
}

int hanging() { return hangingLookups.load(); }

}  // namespace nubrio::linux_platform::app_lookup
