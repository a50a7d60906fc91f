#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace nubrio::worker {

// Whether an answer of the challenge endpoint proves that it comes from our own worker: a JSON object
// whose "pid" (a number, taken as a 32-bit integer with its fraction cut off) is the worker's process
// id and whose "version" (a string) is exactly ours. Everything else in the answer is ignored.
bool answerIsFromWorker(const std::optional<std::string>& body, int workerPid, std::string_view version);

}  // namespace nubrio::worker
