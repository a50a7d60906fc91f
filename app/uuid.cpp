#include "app/uuid.h"

#include <random>

namespace nubrio {

Uuid Uuid::random() {
    static std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    return Uuid{generator(), generator()};
}

}  // namespace nubrio
