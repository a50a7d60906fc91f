#pragma once
#include <optional>

#include "platform/error.h"

namespace nubrio::platform {

enum class LoginItemStatus { NotRegistered = 0, Enabled = 1, RequiresApproval = 2, NotFound = 3 };

// The registration of the main application to open at login.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() = 0;
    virtual std::optional<Error> registerApp() = 0;
    virtual std::optional<Error> unregisterApp() = 0;
    virtual void openSystemSettingsLoginItems() = 0;
};

}  // namespace nubrio::platform
