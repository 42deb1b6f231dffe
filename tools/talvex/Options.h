#pragma once
// A small command-line parser for the talvex subcommands: named options (--name
// VALUE, --name=VALUE or flags), positional arguments, and checked numbers whose
// error messages name the offending text; counted nouns for the messages.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// One option a subcommand accepts.
struct OptionRule {
    const char* name;     // without the leading "--"
    bool takesValue;      // false: a flag
};

// What the command line held.
struct ParsedOptions {
    std::map<std::string, std::string> values;  // option name -> value ("" for flags)
    std::vector<std::string> positionals;
    bool help = false;                          // --help or -h was given

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    // The option's value, or `fallback` when it was not given.
    std::string Get(const std::string& name, const std::string& fallback = "") const;
};

// Parses argv[1..argc-1] (argv[0] is the subcommand's name). Anything that starts
// with "-" and is not "-" itself is an option; "--" ends the options. On failure
// returns nothing and puts a message in *error.
std::optional<ParsedOptions> ParseOptions(int argc, char** argv, const std::vector<OptionRule>& rules,
                                          std::string* error);

// Parses a whole decimal integer (or 0x hex) within [minimum, maximum]. `what`
// names the value in the error message, e.g. "--count".
std::optional<std::int64_t> ParseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum,
                                         const std::string& what, std::string* error);

// Parses an unsigned 64-bit integer (decimal or 0x hex), refusing a sign.
std::optional<std::uint64_t> ParseUnsigned64(const std::string& text, const std::string& what, std::string* error);

// "1 word", "2 words": the count and the noun, plural unless the count is 1.
std::string Counted(long long count, const char* noun);

// Prints "talvex <command>: <message>" and a hint to standard error; returns 2.
int UsageError(const char* command, const std::string& message);

}  // namespace cli
