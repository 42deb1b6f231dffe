#pragma once
// One JSON object per line for the --json output of call, event, ping and
// broadcast: keys in the order they are added, values already valid JSON.
#include <cstdint>
#include <string>

namespace cli {

// A JSON string of `text`: well-formed UTF-8 kept, each byte that is not becomes U+FFFD.
std::string JsonString(const std::string& text);
// A JSON number of `value` with `digits` significant digits, or null when it is not finite.
std::string JsonNumber(double value, int digits = 17);

// Milliseconds with three decimals, e.g. 0.231.
std::string JsonMilliseconds(double milliseconds);

// Builds {"key":value,...} and prints it as one line.
class JsonLine {
public:
    JsonLine& Add(const char* key, const std::string& json);   // `json` is a JSON value already
    JsonLine& Add(const char* key, std::int64_t value);
    JsonLine& AddText(const char* key, const std::string& text);
    void Print() const;   // the object and a newline on standard output, flushed

private:
    std::string m_members;
};

}  // namespace cli
