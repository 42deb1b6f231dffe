// Fuzz target for the string conversions: arbitrary 8-bit strings and arbitrary
// wide strings (any 32-bit values, surrogates and values beyond Unicode included)
// go through the four counted conversions with destination sizes from the input
// (zero and negative ones too, and null pointers), each into a destination of
// exactly that size, and through Char2CString and CString2Char, under the "C" and
// the UTF-8 locale. Checked: invalid arguments leave the destination untouched;
// otherwise the destination's last character is zero, characters the encoding
// cannot hold are substituted (a success converts back), and plain ASCII survives
// the round trip unchanged.
#include "fuzz_input.h"
#include "talvex05u/support/StringConversions.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

using fuzzinput::Check;
using fuzzinput::InputReader;

constexpr char kCanary = static_cast<char>(0xA5);
constexpr wchar_t kWideCanary = 0x5A5A;

// A destination size: often small or around the source's length, sometimes invalid.
int ChooseSize(InputReader& input, std::size_t sourceLength) {
    const std::uint8_t choice = input.Byte();
    switch (choice % 4) {
    case 0: return static_cast<int>(choice >> 2) - 8;                               // -8 .. 55
    case 1: return static_cast<int>(sourceLength) + (static_cast<int>(choice >> 2) % 9) - 4;
    case 2: return static_cast<int>(sourceLength * 4 + 1);
    default: return 1 + input.Byte();
    }
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Converts `source` (or a null pointer) into a destination of a size chosen from the
// input, filled with `canary` first. Invalid arguments must leave it untouched;
// otherwise the conversion succeeds or fails, ends the destination with a zero and
// hands destination, size and result to `checkResult`.
template <typename Out, typename In, typename CheckResult>
void RunCounted(InputReader& input, const std::basic_string<In>& source, std::int32_t (*convert)(Out*, const In*, int),
                Out canary, CheckResult checkResult) {
    const int size = ChooseSize(input, source.size());
    const bool nullSource = input.Byte() == 0xFF;
    const std::size_t room = static_cast<std::size_t>(std::max(size, 0));
    std::unique_ptr<Out[]> destination(new Out[room]);
    std::fill(destination.get(), destination.get() + room, canary);
    const std::int32_t result = convert(destination.get(), nullSource ? nullptr : source.c_str(), size);
    if (nullSource || size < 1) {
        Check(result == talvex::kConvertInvalidArg);
        for (std::size_t i = 0; i < room; ++i) Check(destination[i] == canary);
        return;
    }
    Check(result == talvex::kConvertOk || result == talvex::kConvertFail);
    Check(destination[room - 1] == Out{0});
    checkResult(destination.get(), room, result);
}

void CheckWideToAnsi(InputReader& input, const std::wstring& source, bool generic) {
    const auto convert = generic ? ConvertGenericStringToAnsiCch : ConvertWideStringToAnsiCch;
    RunCounted(input, source, convert, kCanary, [&](const char* text, std::size_t, std::int32_t result) {
        if (result != talvex::kConvertOk) return;
        // The whole source arrived, each character as itself or as '?': converting
        // it back gives as many characters, and an ASCII source exactly again.
        std::vector<wchar_t> back(source.size() + 1, kWideCanary);
        Check(ConvertAnsiStringToWideCch(back.data(), text, static_cast<int>(back.size())) == talvex::kConvertOk);
        Check(std::wcslen(back.data()) == source.size());
        if (std::all_of(source.begin(), source.end(), [](wchar_t c) { return c > 0 && c < 0x80; }))
            Check(std::wcscmp(back.data(), source.c_str()) == 0);
    });
}

void CheckAnsiToWide(InputReader& input, const std::string& source, bool generic) {
    const auto convert = generic ? ConvertAnsiStringToGenericCch : ConvertAnsiStringToWideCch;
    RunCounted(input, source, convert, kWideCanary, [&](const wchar_t* text, std::size_t room, std::int32_t result) {
        if (!IsAscii(source)) return;
        if (result == talvex::kConvertOk) {
            Check(std::wcslen(text) == source.size());
            for (std::size_t i = 0; i < source.size(); ++i)
                Check(text[i] == static_cast<wchar_t>(static_cast<unsigned char>(source[i])));
        }
        if (room > source.size()) Check(result == talvex::kConvertOk);
    });
}

void CheckAllocatingConversions(const std::string& narrow, const std::wstring& wide) {
    const CString fromNarrow = Char2CString(narrow.c_str());
    if (IsAscii(narrow)) Check(fromNarrow.GetLength() == static_cast<int>(narrow.size()));
    std::unique_ptr<char[]> back(CString2Char(fromNarrow));
    Check(back != nullptr);
    if (IsAscii(narrow)) Check(narrow == back.get());

    std::unique_ptr<char[]> fromWide(CString2Char(CString(wide.c_str())));
    Check(fromWide != nullptr);
    // The array is 2 × length bytes (at least 1) and always terminated within it.
    Check(strnlen(fromWide.get(), std::max<std::size_t>(2 * wide.size(), 1)) < std::max<std::size_t>(2 * wide.size(), 1));
    const CString again = Char2CString(fromWide.get());
    Check(again.GetLength() <= static_cast<int>(2 * std::strlen(fromWide.get())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input(data, size);
    const std::uint8_t flags = input.Byte();
    std::setlocale(LC_CTYPE, (flags & 1) ? "C.UTF-8" : "C");

    // An 8-bit string without zeros, and a wide string of any values but zero.
    std::string narrow;
    const std::size_t narrowLength = input.Byte();
    for (std::size_t i = 0; i < narrowLength && !input.Empty(); ++i) {
        const char c = static_cast<char>(input.Byte());
        if (c != '\0') narrow.push_back(c);
    }
    std::wstring wide;
    const std::size_t wideLength = input.Byte() % 64;
    for (std::size_t i = 0; i < wideLength && !input.Empty(); ++i) {
        const std::uint32_t value = (flags & 2) ? input.UInt32() : input.UInt16();
        if (value != 0) wide.push_back(static_cast<wchar_t>(value));
    }

    for (int round = 0; round < 4 && !input.Empty(); ++round) {
        CheckWideToAnsi(input, wide, round % 2 == 1);
        CheckAnsiToWide(input, narrow, round % 2 == 1);
    }
    CheckAllocatingConversions(narrow, wide);
    return 0;
}
