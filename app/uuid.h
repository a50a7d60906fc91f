#pragma once
#include <cstdint>

namespace nubrio {

// A random 128-bit generation token, compared for equality only.
struct Uuid {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    static Uuid random();
    bool operator==(const Uuid&) const = default;
};

}  // namespace nubrio
