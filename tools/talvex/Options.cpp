#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace cli {

std::string ParsedOptions::Get(const std::string& name, const std::string& fallback) const {
    auto found = values.find(name);
    return found == values.end() ? fallback : found->second;
}

namespace {

const OptionRule* FindRule(const std::vector<OptionRule>& rules, const std::string& name) {
    for (const auto& rule : rules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

bool LooksLikeOption(const std::string& text) { return text.size() > 1 && text[0] == '-'; }

// Base and digits of a number text: "0x..." is hex, anything else decimal (a
// leading zero does not switch to octal, which would surprise on a command line).
int BaseOf(const std::string& digits) {
    return digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
}

}  // namespace

std::optional<ParsedOptions> ParseOptions(int argc, char** argv, const std::vector<OptionRule>& rules,
                                          std::string* error) {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || !LooksLikeOption(arg)) {
            parsed.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            *error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionRule* rule = FindRule(rules, name);
        if (rule == nullptr) {
            *error = "unknown option '--" + name + "'";
            return std::nullopt;
        }
        if (!rule->takesValue) {
            if (inlineValue) {
                *error = "option '--" + name + "' takes no value";
                return std::nullopt;
            }
            parsed.values[name] = "";
            continue;
        }
        if (inlineValue) {
            parsed.values[name] = *inlineValue;
        } else if (i + 1 < argc) {
            parsed.values[name] = argv[++i];
        } else {
            *error = "option '--" + name + "' needs a value";
            return std::nullopt;
        }
    }
    return parsed;
}

std::optional<std::int64_t> ParseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum,
                                         const std::string& what, std::string* error) {
    const char* start = text.c_str();
    bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative || (!text.empty() && text[0] == '+') ? text.substr(1) : text;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') {
        *error = what + ": '" + text + "' is not a number";
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(start, &end, BaseOf(digits));
    if (end == start || *end != '\0') {
        *error = what + ": '" + text + "' is not a number";
        return std::nullopt;
    }
    if (errno == ERANGE || value < minimum || value > maximum) {
        *error = what + ": " + text + " is out of range (" + std::to_string(minimum) + ".." +
                 std::to_string(maximum) + ")";
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::optional<std::uint64_t> ParseUnsigned64(const std::string& text, const std::string& what, std::string* error) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        *error = what + ": '" + text + "' is not an unsigned number";
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, BaseOf(text));
    if (end == text.c_str() || *end != '\0') {
        *error = what + ": '" + text + "' is not an unsigned number";
        return std::nullopt;
    }
    if (errno == ERANGE) {
        *error = what + ": " + text + " is out of range (0..18446744073709551615)";
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::string Counted(long long count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int UsageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "talvex %s: %s\n(see 'talvex %s --help')\n", command, message.c_str(), command);
    return 2;
}

}  // namespace cli
