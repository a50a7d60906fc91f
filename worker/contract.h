#pragma once
// What the application and its worker NubrioService agree on.

namespace nubrio::worker {

inline constexpr const char* ExecutablePath = "service/NubrioService/NubrioService";  // under Resources
inline constexpr const char* StartupErrorFile = "logs/startup-error.txt";              // under home
inline constexpr const char* LogsFolder = "logs";
inline constexpr int StartupFailureStatus = 3;

inline constexpr const char* ChallengeHost = "127.0.0.1";
inline constexpr int ChallengePort = 4173;
inline constexpr const char* ChallengePath = "/api/desktop/challenge";

inline constexpr int SignalTerminate = 15;  // SIGTERM
inline constexpr int SignalKill = 9;        // SIGKILL

}  // namespace nubrio::worker
