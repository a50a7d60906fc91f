#pragma once
// What a copy started later hands to the running copy over the single-instance socket: the links it
// was started with, or one command of the running copy's menu. The bytes come from another process,
// so decoding is strict and bounded.
//
// Wire form: "NBL1", a big-endian 32-bit count, then per link a big-endian 32-bit length and that
// many bytes of UTF-8 (no NUL); or "NBC1", a big-endian 32-bit length and the command's name (lower
// case ASCII letters). The receiver answers one byte, kAcknowledgement, when it took the hand-over,
// and kBusy when it closes a connection unread because it serves as many as it may.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace nubrio::linux_platform::handover {

inline constexpr std::size_t kMaxLinks = 16;
inline constexpr std::size_t kMaxLinkBytes = 4096;
inline constexpr std::size_t kMaxCommandBytes = 32;
inline constexpr std::size_t kMaxMessageBytes = 8 + kMaxLinks * (4 + kMaxLinkBytes);
inline constexpr char kAcknowledgement = 'K';
inline constexpr char kBusy = 'B';

struct Message {
    std::vector<std::string> links;  // a links message
    std::string command;             // a command message: the menu command's name, e.g. "quit"
    bool operator==(const Message&) const = default;
};

// None when the message exceeds the bounds, has neither links nor a command (or both), or holds a
// link that is empty or not UTF-8 or a command that is not lower case ASCII letters.
std::optional<std::string> encode(const Message& message);

// The links that fit one message, in order; the others could not be delivered anyway.
std::vector<std::string> linksThatFit(const std::vector<std::string>& links);

enum class DecodeResult { Incomplete, Complete, Malformed };
// Complete only for exactly one well-formed message with nothing after it.
DecodeResult decode(const std::string& bytes, Message& message);

}  // namespace nubrio::linux_platform::handover
