#include "CallBlock.h"

#include "Options.h"
#include "ValueParser.h"

namespace cli {

std::optional<std::int32_t> BuildCallBlock(const std::vector<std::string>& arguments, std::int64_t maxWords,
                                           const char* why, CUdpDataBlockEx* block, std::string* error) {
    if (arguments.empty()) {
        *error = "missing procedure number";
        return std::nullopt;
    }
    auto procedure = ParseInteger(arguments[0], INT32_MIN, INT32_MAX, "procedure", error);
    if (!procedure) return std::nullopt;

    std::vector<TypedValue> values;
    std::int64_t words = 0;
    bool holdsString = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        auto value = ParseTypedValue(arguments[i], error);
        if (!value) return std::nullopt;
        words += WordsOf(*value);
        holdsString = holdsString || value->kind == TypedValue::Kind::String;
        values.push_back(std::move(*value));
    }
    if (words > maxWords) {
        *error = "the values take " + std::to_string(words) + " words; " + why;
        return std::nullopt;
    }
    if (holdsString && words > talvex::kMaxFramedWords) {
        *error = "a block that holds strings takes at most " + std::to_string(talvex::kMaxFramedWords) + " words, these take " +
                 std::to_string(words);
        return std::nullopt;
    }
    *block = CUdpDataBlockEx(static_cast<std::int32_t>(*procedure));
    for (const auto& value : values) {
        if (!AppendTypedValue(block, value)) {
            *error = "no memory for the values";
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(*procedure);
}

}  // namespace cli
