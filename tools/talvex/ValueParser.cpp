#include "ValueParser.h"

#include "Json.h"
#include "Utf8.h"

#include "Options.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

constexpr std::int64_t kLongMin = INT32_MIN;
constexpr std::int64_t kLongMax = UINT32_MAX;   // 32 bits either way: -2147483648..4294967295
// More words than one block can take are refused before anything is allocated.
constexpr std::size_t kMaxBytesPerValue = 14 * 1000 * 1000;

std::optional<std::int32_t> ParseWord(const std::string& text, const std::string& argument, std::string* error) {
    std::string reason;
    auto value = ParseInteger(text, kLongMin, kLongMax, "value", &reason);
    if (!value) {
        *error = "bad value '" + argument + "': '" + text + "' is not a 32-bit integer";
        return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
}

std::optional<double> ParseReal(const std::string& text, bool single, const std::string& argument,
                                std::string* error) {
    const char* kind = single ? "float" : "double";
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        *error = "bad value '" + argument + "': '" + text + "' is not a " + kind;
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    double value = single ? static_cast<double>(std::strtof(text.c_str(), &end)) : std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        *error = "bad value '" + argument + "': '" + text + "' is not a " + kind;
        return std::nullopt;
    }
    if (errno == ERANGE && std::isinf(value)) {
        *error = "bad value '" + argument + "': " + text + " is out of range for a " + kind;
        return std::nullopt;
    }
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<unsigned char>> ParseHexBytes(const std::string& text, const std::string& argument,
                                                        std::string* error) {
    if (text.size() % 2 != 0) {
        *error = "bad value '" + argument + "': hex bytes come in pairs of digits";
        return std::nullopt;
    }
    if (text.size() / 2 > kMaxBytesPerValue) {
        *error = "bad value '" + argument + "': too many bytes";
        return std::nullopt;
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            *error = "bad value '" + argument + "': '" + text.substr(i, 2) + "' is not a hex byte";
            return std::nullopt;
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

std::optional<std::vector<std::int32_t>> ParseWordList(const std::string& text, const std::string& argument,
                                                       std::string* error) {
    std::vector<std::int32_t> words{0};   // the count word, filled in at the end
    if (!text.empty()) {
        std::size_t start = 0;
        for (;;) {
            std::size_t comma = text.find(',', start);
            std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            auto word = ParseWord(item, argument, error);
            if (!word) return std::nullopt;
            words.push_back(*word);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    words[0] = static_cast<std::int32_t>(words.size() - 1);
    return words;
}

// Words left between the read cursor and the end of the data.
std::int64_t WordsLeft(const CUdpDataBlockEx& block) {
    return static_cast<std::int64_t>(DataWords(block)) - block.m_nReadPos;
}

// The string in quotes: printable ASCII as it is, and in a UTF-8 locale every
// well-formed multibyte sequence too; every other byte as \xNN.
std::string Quoted(const std::string& text) {
    const bool utf8 = LocaleIsUtf8();
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = Utf8SequenceAt(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (length == 1 || (utf8 && length > 1)) {
            out.append(text, i, length);
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            ++i;
        }
    }
    return out + "\"";
}

std::string HexOf(const unsigned char* bytes, std::size_t count) {
    std::string out;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out;
}

// Length of the zero-terminated string at the read cursor, or -1 when no zero
// byte lies within the data words.
std::int64_t StringLengthAtCursor(const CUdpDataBlockEx& block) {
    std::int64_t left = WordsLeft(block);
    if (left <= 0) return -1;
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.m_pData + block.m_nReadPos);
    const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(left) * 4);
    return zero == nullptr ? -1 : static_cast<const unsigned char*>(zero) - bytes;
}

std::string RealText(double value, int digits) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

std::string WordText(std::int32_t word) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId32 " (0x%08" PRIx32 ")", word, static_cast<std::uint32_t>(word));
    return text;
}

// The counted block's words as text: long blocks show their first 12 and last 3.
std::string WordListText(const std::vector<std::int32_t>& words) {
    constexpr std::size_t kShowAll = 16;
    std::size_t count = words.size();
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (count > kShowAll && i >= 12 && i < count - 3) {
            if (i == 12) list += "...,";
            continue;
        }
        list += std::to_string(words[i]);
        if (i + 1 < count) list += ",";
    }
    return std::to_string(count) + " words: " + list;
}

std::string WordListJson(const std::vector<std::int32_t>& words) {
    std::string json = "[";
    for (std::size_t i = 0; i < words.size(); ++i) json += (i > 0 ? "," : "") + std::to_string(words[i]);
    return json + "]";
}

// Reads one value of `kind` at the block's read cursor; nothing when the block ends
// before it or does not hold it well formed.
std::optional<DecodedValue> DecodeOne(const CUdpDataBlockEx& block, const ReadKind& kind) {
    std::int64_t left = WordsLeft(block);
    switch (kind.kind) {
    case ReadKind::Kind::Long: {
        if (left < 1) return std::nullopt;
        std::int32_t v = block.GetLongData();
        return DecodedValue{kind.kind, WordText(v), std::to_string(v)};
    }
    case ReadKind::Kind::Float: {
        if (left < 1) return std::nullopt;
        double v = block.GetFloatData();
        return DecodedValue{kind.kind, RealText(v, 9), JsonNumber(v, 9)};
    }
    case ReadKind::Kind::Double: {
        if (left < 2) return std::nullopt;
        double v = block.GetDoubleData();
        return DecodedValue{kind.kind, RealText(v, 17), JsonNumber(v, 17)};
    }
    case ReadKind::Kind::Int64: {
        if (left < 2) return std::nullopt;
        std::string v = std::to_string(block.GetInt64Data());
        return DecodedValue{kind.kind, v, v};
    }
    case ReadKind::Kind::UInt64: {
        if (left < 2) return std::nullopt;
        std::string v = std::to_string(block.GetUInt64Data());
        return DecodedValue{kind.kind, v, v};
    }
    case ReadKind::Kind::String: {
        std::int64_t length = StringLengthAtCursor(block);
        if (length < 0) return std::nullopt;
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        if (!block.GetStringData(text.data(), static_cast<int>(text.size()))) return std::nullopt;
        text.resize(static_cast<std::size_t>(length));
        return DecodedValue{kind.kind, Quoted(text), JsonString(text)};
    }
    case ReadKind::Kind::Array: {
        if (left < kind.byteCount / 4 + 1) return std::nullopt;
        std::vector<unsigned char> bytes(static_cast<std::size_t>(kind.byteCount) + 1);
        if (!block.GetArray(bytes.data(), kind.byteCount)) return std::nullopt;
        std::string hex = HexOf(bytes.data(), static_cast<std::size_t>(kind.byteCount));
        return DecodedValue{kind.kind, hex + " (" + std::to_string(kind.byteCount) + " bytes)", JsonString(hex)};
    }
    case ReadKind::Kind::BinBlock: {
        if (left < 1) return std::nullopt;
        std::int32_t count = block.m_pData[block.m_nReadPos];
        if (count < 0 || count > left - 1) return std::nullopt;
        std::vector<std::int32_t> words(static_cast<std::size_t>(count) + 1);
        if (!block.GetBinBlockData(words.data())) return std::nullopt;
        words.erase(words.begin());   // the count word
        return DecodedValue{kind.kind, WordListText(words), WordListJson(words)};
    }
    }
    return std::nullopt;
}

const char* ReadKindName(ReadKind::Kind kind) {
    switch (kind) {
    case ReadKind::Kind::Long: return "l";
    case ReadKind::Kind::Float: return "f";
    case ReadKind::Kind::Double: return "d";
    case ReadKind::Kind::Int64: return "i64";
    case ReadKind::Kind::UInt64: return "u64";
    case ReadKind::Kind::String: return "s";
    case ReadKind::Kind::Array: return "a";
    case ReadKind::Kind::BinBlock: return "b";
    }
    return "?";
}

}  // namespace

std::optional<TypedValue> ParseTypedValue(const std::string& argument, std::string* error) {
    auto colon = argument.find(':');
    if (colon == std::string::npos) {
        *error = "bad value '" + argument + "' (expected KIND:VALUE, kinds l f d i64 u64 s a b)";
        return std::nullopt;
    }
    std::string kind = argument.substr(0, colon);
    std::string text = argument.substr(colon + 1);
    TypedValue value;
    if (kind == "l") {
        auto word = ParseWord(text, argument, error);
        if (!word) return std::nullopt;
        value.kind = TypedValue::Kind::Long;
        value.integer = *word;
    } else if (kind == "f" || kind == "d") {
        auto real = ParseReal(text, kind == "f", argument, error);
        if (!real) return std::nullopt;
        value.kind = kind == "f" ? TypedValue::Kind::Float : TypedValue::Kind::Double;
        value.real = *real;
    } else if (kind == "i64") {
        std::string reason;
        auto integer = ParseInteger(text, INT64_MIN, INT64_MAX, "value", &reason);
        if (!integer) {
            *error = "bad value '" + argument + "': '" + text + "' is not a 64-bit integer";
            return std::nullopt;
        }
        value.kind = TypedValue::Kind::Int64;
        value.integer = *integer;
    } else if (kind == "u64") {
        std::string reason;
        auto integer = ParseUnsigned64(text, "value", &reason);
        if (!integer) {
            *error = "bad value '" + argument + "': '" + text + "' is not an unsigned 64-bit integer";
            return std::nullopt;
        }
        value.kind = TypedValue::Kind::UInt64;
        value.unsignedInteger = *integer;
    } else if (kind == "s") {
        if (text.size() > kMaxBytesPerValue) {
            *error = "bad value '" + argument.substr(0, 20) + "...': text too long";
            return std::nullopt;
        }
        value.kind = TypedValue::Kind::String;
        value.text = text;
    } else if (kind == "a") {
        auto bytes = ParseHexBytes(text, argument, error);
        if (!bytes) return std::nullopt;
        value.kind = TypedValue::Kind::Array;
        value.bytes = std::move(*bytes);
    } else if (kind == "b") {
        auto words = ParseWordList(text, argument, error);
        if (!words) return std::nullopt;
        value.kind = TypedValue::Kind::BinBlock;
        value.words = std::move(*words);
    } else {
        *error = "bad value '" + argument + "': unknown kind '" + kind + "' (kinds l f d i64 u64 s a b)";
        return std::nullopt;
    }
    return value;
}

std::int64_t WordsOf(const TypedValue& value) {
    switch (value.kind) {
    case TypedValue::Kind::Long:
    case TypedValue::Kind::Float: return 1;
    case TypedValue::Kind::Double:
    case TypedValue::Kind::Int64:
    case TypedValue::Kind::UInt64: return 2;
    case TypedValue::Kind::String: return static_cast<std::int64_t>(value.text.size() / 4 + 1);
    case TypedValue::Kind::Array: return static_cast<std::int64_t>(value.bytes.size() / 4 + 1);
    case TypedValue::Kind::BinBlock: return static_cast<std::int64_t>(value.words.size());
    }
    return 0;
}

bool AppendTypedValue(CUdpDataBlockEx* block, const TypedValue& value) {
    switch (value.kind) {
    case TypedValue::Kind::Long: return block->AppendLongData(static_cast<std::int32_t>(value.integer));
    case TypedValue::Kind::Float: return block->AppendFloatData(static_cast<float>(value.real));
    case TypedValue::Kind::Double: return block->AppendDoubleData(value.real);
    case TypedValue::Kind::Int64: return block->AppendInt64Data(value.integer);
    case TypedValue::Kind::UInt64: return block->AppendUInt64Data(value.unsignedInteger);
    case TypedValue::Kind::String: return block->AppendStringData(value.text.c_str());
    case TypedValue::Kind::Array:
        return block->AppendArray(value.bytes.data(), static_cast<std::int32_t>(value.bytes.size()));
    case TypedValue::Kind::BinBlock: return block->AppendBinBlockData(value.words.data());
    }
    return false;
}

std::optional<std::vector<ReadKind>> ParseReadList(const std::string& list, std::string* error) {
    std::vector<ReadKind> kinds;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        ReadKind kind;
        if (item == "l") kind.kind = ReadKind::Kind::Long;
        else if (item == "f") kind.kind = ReadKind::Kind::Float;
        else if (item == "d") kind.kind = ReadKind::Kind::Double;
        else if (item == "i64") kind.kind = ReadKind::Kind::Int64;
        else if (item == "u64") kind.kind = ReadKind::Kind::UInt64;
        else if (item == "s") kind.kind = ReadKind::Kind::String;
        else if (item == "b") kind.kind = ReadKind::Kind::BinBlock;
        else if (item.rfind("a:", 0) == 0) {
            std::string reason;
            auto count = ParseInteger(item.substr(2), 0, kMaxBytesPerValue, "byte count", &reason);
            if (!count) {
                *error = "bad --read entry '" + item + "' (a:N wants a byte count N)";
                return std::nullopt;
            }
            kind.kind = ReadKind::Kind::Array;
            kind.byteCount = static_cast<std::int32_t>(*count);
        } else {
            *error = "bad --read entry '" + item + "' (kinds l f d i64 u64 s a:N b)";
            return std::nullopt;
        }
        kinds.push_back(kind);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return kinds;
}

std::vector<DecodedValue> DecodeValues(const CUdpDataBlockEx& block, const std::vector<ReadKind>& kinds,
                                       std::string* error) {
    block.m_nReadPos = 0;
    std::vector<DecodedValue> values;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        auto value = DecodeOne(block, kinds[i]);
        if (!value) {
            *error = "the answer does not hold value " + std::to_string(i + 1) + " (" + ReadKindName(kinds[i].kind) +
                     ") at word " + std::to_string(block.m_nReadPos) + " of " + std::to_string(DataWords(block));
            break;
        }
        values.push_back(std::move(*value));
    }
    return values;
}

bool PrintDecoded(const CUdpDataBlockEx& block, const std::vector<ReadKind>& kinds, const char* indent) {
    std::string error;
    for (const DecodedValue& value : DecodeValues(block, kinds, &error))
        std::printf("%s%s: %s\n", indent, ReadKindName(value.kind), value.text.c_str());
    if (!error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "talvex: %s\n", error.c_str());
        return false;
    }
    if (WordsLeft(block) > 0) std::printf("%s(%lld more words)\n", indent, static_cast<long long>(WordsLeft(block)));
    return true;
}

std::string DecodedJson(const std::vector<DecodedValue>& values) {
    std::string json = "[";
    for (std::size_t i = 0; i < values.size(); ++i) json += (i > 0 ? "," : "") + values[i].json;
    return json + "]";
}

std::string WordsJson(const CUdpDataBlockEx& block) {
    std::vector<std::int32_t> words(block.m_pData, block.m_pData + DataWords(block));
    return WordListJson(words);
}

std::int32_t DataWords(const CUdpDataBlockEx& block) {
    if (block.m_pData == nullptr || block.m_nLength <= 0) return 0;
    return block.m_nLength < block.m_nCapacity ? block.m_nLength : block.m_nCapacity;
}

void PrintWords(const CUdpDataBlockEx& block, const char* indent) {
    constexpr std::int32_t kShowAll = 16;
    constexpr std::int32_t kHead = 8;
    constexpr std::int32_t kTail = 4;
    std::int32_t count = DataWords(block);
    for (std::int32_t i = 0; i < count; ++i) {
        if (count > kShowAll && i == kHead) {
            std::printf("%s... (%d words in all)\n", indent, count);
            i = count - kTail - 1;
            continue;
        }
        std::int32_t word = block.m_pData[i];
        std::printf("%s[%d] 0x%08" PRIx32 " %" PRId32 "\n", indent, i, static_cast<std::uint32_t>(word), word);
    }
}

const char* TypedValueHelp() {
    return "values are typed: l:42 (32-bit), f:1.5 (float), d:2.25 (double), i64:-5, u64:7,\n"
           "  s:text (string), a:0a0b0c (bytes as hex pairs), b:1,2,3 (counted word block)\n";
}

}  // namespace cli
