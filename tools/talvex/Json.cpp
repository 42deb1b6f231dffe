#include "Json.h"

#include "Utf8.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

void AppendEscaped(unsigned char c, std::string* out) {
    switch (c) {
    case '"': *out += "\\\""; return;
    case '\\': *out += "\\\\"; return;
    case '\n': *out += "\\n"; return;
    case '\r': *out += "\\r"; return;
    case '\t': *out += "\\t"; return;
    default: break;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    *out += escaped;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c == '"' || c == '\\' ? 0 : Utf8SequenceAt(text, i);
        if (length > 0) {
            out.append(text, i, length);
            i += length;
        } else if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            AppendEscaped(c, &out);
            ++i;
        } else {
            out += "\\ufffd";   // a byte of no well-formed sequence
            ++i;
        }
    }
    return out + "\"";
}

std::string JsonNumber(double value, int digits) {
    if (!std::isfinite(value)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

std::string JsonMilliseconds(double milliseconds) {
    if (!std::isfinite(milliseconds)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", milliseconds);
    return text;
}

JsonLine& JsonLine::Add(const char* key, const std::string& json) {
    if (!m_members.empty()) m_members += ',';
    m_members += JsonString(key) + ':' + json;
    return *this;
}

JsonLine& JsonLine::Add(const char* key, std::int64_t value) { return Add(key, std::to_string(value)); }

JsonLine& JsonLine::AddText(const char* key, const std::string& text) { return Add(key, JsonString(text)); }

void JsonLine::Print() const {
    std::printf("{%s}\n", m_members.c_str());
    std::fflush(stdout);
}

}  // namespace cli
