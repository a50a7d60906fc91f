#include "worker/challenge.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace nubrio::worker {

namespace {

// A number as a 32-bit signed integer, fraction cut off, as a C conversion of the double would give it.
std::int32_t asInt32(const nlohmann::json& number) {
    if (number.is_number_integer()) {
        if (number.is_number_unsigned()) return static_cast<std::int32_t>(number.get<std::uint64_t>());
        return static_cast<std::int32_t>(number.get<std::int64_t>());
    }
    double value = std::trunc(number.get<double>());
    // Out of range (or not finite) cannot be anyone's pid; wrap like the integer path does.
    if (!std::isfinite(value) || value < double(std::numeric_limits<std::int64_t>::min()) ||
        value > double(std::numeric_limits<std::int64_t>::max()))
        return 0;
    return static_cast<std::int32_t>(static_cast<std::int64_t>(value));
}

}  // namespace

bool answerIsFromWorker(const std::optional<std::string>& body, int workerPid, std::string_view version) {
    if (!body) return false;
    nlohmann::json answer = nlohmann::json::parse(*body, nullptr, /*allow_exceptions=*/false);
    if (!answer.is_object()) return false;  // a parse error comes back as a discarded value
    auto pid = answer.find("pid");
    if (pid == answer.end() || !pid->is_number() || asInt32(*pid) != workerPid) return false;
    auto reported = answer.find("version");
    return reported != answer.end() && reported->is_string() && reported->get_ref<const std::string&>() == version;
}

}  // namespace nubrio::worker
