#include "platform/linux/single_instance/handover.h"

#include <algorithm>
#include <cstdint>

#include "platform/linux/base/utf8.h"

namespace nubrio::linux_platform::handover {

namespace {

constexpr char kLinksMagic[4] = {'N', 'B', 'L', '1'};
constexpr char kCommandMagic[4] = {'N', 'B', 'C', '1'};

bool validLink(const std::string& link) {
    return !link.empty() && link.size() <= kMaxLinkBytes && link.find('\0') == std::string::npos &&
           isValidUtf8(link);
}

bool validCommand(const std::string& command) {
    return !command.empty() && command.size() <= kMaxCommandBytes &&
           std::all_of(command.begin(), command.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

void appendBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t readBigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4; ++k) value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

// Whether `bytes` begins with the magic, as far as it goes.
bool startsLike(const std::string& bytes, const char (&magic)[4]) {
    const std::size_t n = std::min(bytes.size(), sizeof magic);
    return bytes.compare(0, n, magic, n) == 0;
}

DecodeResult decodeLinks(const std::string& bytes, Message& message) {
    const std::uint32_t count = readBigEndian(bytes, 4);
    if (count == 0 || count > kMaxLinks) return DecodeResult::Malformed;
    std::size_t at = 8;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bytes.size() < at + 4) return DecodeResult::Incomplete;
        const std::uint32_t length = readBigEndian(bytes, at);
        if (length == 0 || length > kMaxLinkBytes) return DecodeResult::Malformed;
        at += 4;
        if (bytes.size() < at + length) return DecodeResult::Incomplete;
        std::string link = bytes.substr(at, length);
        if (!validLink(link)) return DecodeResult::Malformed;
        message.links.push_back(std::move(link));
        at += length;
    }
    // The sender waits for our answer, so anything after the message is not a well-formed sender.
    return at == bytes.size() ? DecodeResult::Complete : DecodeResult::Malformed;
}

DecodeResult decodeCommand(const std::string& bytes, Message& message) {
    const std::uint32_t length = readBigEndian(bytes, 4);
    if (length == 0 || length > kMaxCommandBytes) return DecodeResult::Malformed;
    if (bytes.size() < 8 + length) return DecodeResult::Incomplete;
    if (bytes.size() > 8 + length) return DecodeResult::Malformed;
    message.command = bytes.substr(8);
    return validCommand(message.command) ? DecodeResult::Complete : DecodeResult::Malformed;
}

}  // namespace

std::vector<std::string> linksThatFit(const std::vector<std::string>& links) {
    std::vector<std::string> part;
    for (const std::string& link : links) {
        if (part.size() == kMaxLinks) break;
        if (link.size() <= kMaxLinkBytes) part.push_back(link);
    }
    return part;
}

std::optional<std::string> encode(const Message& message) {
    if (message.links.empty() == message.command.empty()) return std::nullopt;
    if (!message.command.empty()) {
        if (!validCommand(message.command)) return std::nullopt;
        std::string bytes(kCommandMagic, sizeof kCommandMagic);
        appendBigEndian(bytes, static_cast<std::uint32_t>(message.command.size()));
        return bytes + message.command;
    }
    if (message.links.size() > kMaxLinks) return std::nullopt;
    std::string bytes(kLinksMagic, sizeof kLinksMagic);
    appendBigEndian(bytes, static_cast<std::uint32_t>(message.links.size()));
    for (const std::string& link : message.links) {
        if (!validLink(link)) return std::nullopt;
        appendBigEndian(bytes, static_cast<std::uint32_t>(link.size()));
        bytes += link;
    }
    return bytes;
}

DecodeResult decode(const std::string& bytes, Message& message) {
    message = Message{};
    if (bytes.size() > kMaxMessageBytes) return DecodeResult::Malformed;
    const bool links = startsLike(bytes, kLinksMagic);
    const bool command = startsLike(bytes, kCommandMagic);
    if (!links && !command) return DecodeResult::Malformed;
    if (bytes.size() < 8) return DecodeResult::Incomplete;
    const DecodeResult result = links ? decodeLinks(bytes, message) : decodeCommand(bytes, message);
    if (result != DecodeResult::Complete) message = Message{};
    return result;
}

}  // namespace nubrio::linux_platform::handover
