#include "app/nubrio.h"

#include <algorithm>

#include "app/check_mode.h"
#include "app/run_application.h"
#include "worker/contract.h"

namespace nubrio {

std::string readVersion(platform::Bundle& bundle) {
    platform::InfoValue value = bundle.infoValue("CFBundleShortVersionString");
    return value.kind == platform::InfoValue::Kind::String ? value.text : std::string();
}

Nubrio::Nubrio(platform::Platform& platform)
    : platform_(platform),
      item(nullptr),
      worker(nullptr),
      stopping(false),
      status(nullptr),
      login(nullptr),
      ready(false),
      openWhenReady(false),
      startup(Uuid::random()),
      restarts(),
      version(readVersion(platform.bundle)),
      home(platform.fileManager.applicationSupportDirectory() / worker::DataFolder) {}

bool Nubrio::hasArgument(const std::string& flag) {
    const std::vector<std::string> arguments = platform_.process.arguments();
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

bool Nubrio::inCheckMode() { return check_mode::requested(platform_.process.arguments()); }

void Nubrio::showAlert(const std::string& messageText, const std::string& informativeText) {
    platform_.alerts.runModal({messageText, informativeText, {}});
}

platform::Action Nubrio::action(const char* selector, void (Nubrio::*method)()) {
    // The menu must not keep the delegate alive, nor call into one that has gone.
    std::weak_ptr<Nubrio> target = weak_from_this();
    return {selector, [target, method] {
                if (auto self = target.lock()) ((*self).*method)();
            }};
}

}  // namespace nubrio
