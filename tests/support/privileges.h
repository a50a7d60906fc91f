#pragma once
// Root passes every permission check, so a folder made 0500 would not show what it does to a user.
// Without these capabilities it is closed to root as to anyone. For a child process of a test: it
// cannot be undone.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nubrio::testing {

inline bool dropFilePermissionOverrides() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        data[capability / 32].effective &= ~(1u << (capability % 32));
        data[capability / 32].permitted &= ~(1u << (capability % 32));
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace nubrio::testing
