// Hand-over messages come from other processes: every input is decoded without a crash, and whatever
// decodes as complete holds only what the encoder accepts, and encodes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/single_instance/handover.h"

namespace handover = nubrio::linux_platform::handover;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    handover::Message message;
    const handover::DecodeResult result = handover::decode(bytes, message);
    if (result != handover::DecodeResult::Complete) {
        if (message != handover::Message{}) std::abort();  // nothing half-decoded is handed on
        return 0;
    }
    if (message.links.size() > handover::kMaxLinks) std::abort();
    const auto encoded = handover::encode(message);
    if (!encoded || *encoded != bytes) std::abort();
    return 0;
}
