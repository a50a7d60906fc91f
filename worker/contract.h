#pragma once
// What the application and its worker NubrioService agree on.
#include <cstddef>

namespace nubrio::worker {

inline constexpr const char* ExecutablePath = "service/NubrioService/NubrioService";  // under Resources
inline constexpr const char* DataFolder = "Nubrio";                                    // under the application-support folder
inline constexpr const char* StartupErrorFile = "logs/startup-error.txt";              // under DataFolder
inline constexpr const char* LogsFolder = "logs";                                      // under DataFolder
// An explanation for a person to read; anything longer is not one, and is not read on the main thread.
inline constexpr std::size_t StartupErrorMaxBytes = 64 * 1024;
inline constexpr int StartupFailureStatus = 3;

inline constexpr const char* ChallengeHost = "127.0.0.1";
inline constexpr int ChallengePort = 4173;
inline constexpr const char* ChallengePath = "/api/desktop/challenge";

// Stopping the worker: SIGTERM to its process group, then up to 30 polls 0.1 s apart, then SIGKILL.
inline constexpr int SignalTerminate = 15;  // SIGTERM
inline constexpr int SignalKill = 9;        // SIGKILL
inline constexpr int StopPollCount = 30;
inline constexpr unsigned StopPollIntervalMicroseconds = 100000;

}  // namespace nubrio::worker
