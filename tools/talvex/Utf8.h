#pragma once
// UTF-8 in answer strings: where a valid sequence starts, and whether this
// process prints text in a UTF-8 locale.
#include <cstddef>
#include <string>

namespace cli {

// Length (1..4) of the well-formed UTF-8 sequence that starts at text[position]
// and is not a control character, or 0 when none starts there.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t position);

// True when the process's LC_CTYPE locale encodes text as UTF-8.
bool LocaleIsUtf8();

}  // namespace cli
