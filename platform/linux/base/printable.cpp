#include "platform/linux/base/printable.h"

namespace nubrio::linux_platform {

namespace {

constexpr char kHex[] = "0123456789abcdef";

bool continuation(std::string_view text, std::size_t at) {
    return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of two bytes or more at `at` (shortest form, no
// surrogate, nothing above U+10FFFF), and its code point; 0 when there is none.
std::size_t sequenceAt(std::string_view text, std::size_t at, char32_t& codePoint) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (!continuation(text, at + k)) return 0;
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

std::string byteEscape(unsigned char byte) {
    switch (byte) {
        case '\n': return "\\n";
        case '\t': return "\\t";
        case '\r': return "\\r";
        default: return std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0x0F];
    }
}

}  // namespace

std::string printable(std::string_view text, std::size_t maxBytes, std::size_t* cutBytes) {
    std::string out;
    out.reserve(text.size() < maxBytes ? text.size() : maxBytes);
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        std::string piece;
        std::size_t length = 1;
        char32_t codePoint = 0;
        if (byte < 0x20 || byte == 0x7F) {
            piece = byteEscape(byte);
        } else if (byte < 0x80) {
            piece = static_cast<char>(byte);
        } else if ((length = sequenceAt(text, at, codePoint)) == 0) {
            length = 1;
            piece = byteEscape(byte);
        } else if (codePoint < 0xA0) {
            // C1 controls: U+009B alone is a terminal's CSI.
            piece = std::string("\\u00") + kHex[codePoint >> 4] + kHex[codePoint & 0x0F];
        } else {
            piece = text.substr(at, length);
        }
        if (out.size() + piece.size() > maxBytes) break;
        out += piece;
        at += length;
    }
    if (cutBytes) *cutBytes = text.size() - at;
    if (at < text.size()) out += "…";
    return out;
}

}  // namespace nubrio::linux_platform
