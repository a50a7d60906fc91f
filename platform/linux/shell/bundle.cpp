#include "platform/linux/shell/bundle.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/linux/base/files.h"
#include "platform/linux/desktop/launcher.h"

namespace nubrio::linux_platform {

namespace {

// An Info.plist is a few kilobytes; anything far larger is not ours and is not read whole.
constexpr std::size_t kMaxInfoPlistSize = 1024 * 1024;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

}  // namespace

LinuxBundle::LinuxBundle(std::filesystem::path executable)
    : executable_(std::move(executable)), bundle_(executable_.parent_path().parent_path().parent_path()) {}

std::filesystem::path LinuxBundle::runningExecutable() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return path;
}

platform::InfoValue LinuxBundle::infoValue(const std::string& key) {
    const std::optional<std::string> bytes = files::readFile(bundle_ / "Contents" / "Info.plist", kMaxInfoPlistSize);
    if (!bytes || bytes->empty()) return {};

    // The bundle's own Info.plist is XML; plist_from_xml has kept its signature across libplist releases.
    plist_t parsed = nullptr;
    plist_from_xml(bytes->data(), static_cast<uint32_t>(bytes->size()), &parsed);
    const PlistPtr root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {};

    plist_t node = plist_dict_get_item(root.get(), key.c_str());
    if (!node) return {};
    if (plist_get_node_type(node) != PLIST_STRING) return {platform::InfoValue::Kind::Other, {}};

    char* text = nullptr;
    plist_get_string_val(node, &text);
    platform::InfoValue value{platform::InfoValue::Kind::String, text ? text : ""};
    free(text);
    return value;
}

std::optional<std::filesystem::path> LinuxBundle::resourcesPath() {
    std::filesystem::path resources = bundle_ / "Contents" / "Resources";
    std::error_code error;
    if (!std::filesystem::is_directory(resources, error)) return std::nullopt;
    return resources;
}

std::filesystem::path LinuxBundle::bundlePath() { return bundle_; }

bool LinuxBundle::installedByPackageManager() { return launcher::isSystemInstall(executable_); }

}  // namespace nubrio::linux_platform
