#include "Utf8.h"

#include <langinfo.h>

#include <cstring>

namespace cli {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The sequence length a lead byte announces, and the lowest code point it may carry.
std::size_t AnnouncedLength(unsigned char lead, char32_t* lowest) {
    if (lead >= 0x20 && lead < 0x7F) return *lowest = 0, 1;
    if (lead >= 0xC2 && lead <= 0xDF) return *lowest = 0x80, 2;
    if (lead >= 0xE0 && lead <= 0xEF) return *lowest = 0x800, 3;
    if (lead >= 0xF0 && lead <= 0xF4) return *lowest = 0x10000, 4;
    return 0;   // control characters, DEL, stray continuation bytes, C0/C1/F5..FF
}

}  // namespace

std::size_t Utf8SequenceAt(const std::string& text, std::size_t position) {
    char32_t lowest = 0;
    const auto lead = static_cast<unsigned char>(text[position]);
    std::size_t length = AnnouncedLength(lead, &lowest);
    if (length <= 1 || position + length > text.size()) return length == 1 ? 1 : 0;
    char32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[position + i]);
        if (!IsContinuation(next)) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    bool control = code >= 0x80 && code < 0xA0;
    return code < lowest || code > 0x10FFFF || surrogate || control ? 0 : length;
}

bool LocaleIsUtf8() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

}  // namespace cli
