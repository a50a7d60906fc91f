// Any body a process on the port can send must be judged without a crash, and never count unless it
// names our pid and version.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "worker/challenge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    if (nubrio::worker::answerIsFromWorker(body, 4000, "1.0.0") &&
        body.find("4000") == std::string::npos && body.find("e") == std::string::npos &&
        body.find("E") == std::string::npos)
        std::abort();  // counted without our pid written out (or as an exponent)
    return 0;
}
