// Fuzz target for the string conversions: arbitrary 8-bit strings and arbitrary
// wide strings (any 32-bit values, surrogates and values beyond Unicode included)
// go through the four counted conversions with destination sizes from the input
// (zero and negative ones too, and null pointers), each into a destination of
// exactly that size, and through Char2CString and CString2Char, under the "C" and
// the UTF-8 locale. Checked: invalid arguments leave the destination untouched;
// otherwise the destination's last character is zero and characters the encoding
// cannot hold are substituted (a success converts back to as many characters).
// Exact results are string_conversions_test's.
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
#include <type_traits>
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

// Converts `source` (or a null pointer) into a destination of a size chosen from the
// input, filled with `canary` first. Invalid arguments must leave it untouched;
// otherwise the conversion succeeds or fails and ends the destination with a zero.
// Towards 8-bit, each character arrives as itself or as '?': a success converts
// back to as many characters.
template <typename Out, typename In>
void RunCounted(InputReader& input, const std::basic_string<In>& source, std::int32_t (*convert)(Out*, const In*, int),
                Out canary) {
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
    if constexpr (std::is_same_v<Out, char>) {
        if (result != talvex::kConvertOk) return;
        std::vector<wchar_t> back(source.size() + 1, kWideCanary);
        Check(ConvertAnsiStringToWideCch(back.data(), destination.get(), static_cast<int>(back.size())) == talvex::kConvertOk);
        Check(std::wcslen(back.data()) == source.size());
    }
}

// CString2Char's array is 2 × length bytes (at least 1), its result always ended within it.
void CheckAllocatingConversions(const std::string& narrow, const std::wstring& wide) {
    const std::unique_ptr<char[]> fromNarrow(CString2Char(Char2CString(narrow.c_str())));
    const std::unique_ptr<char[]> fromWide(CString2Char(CString(wide.c_str())));
    const std::size_t room = std::max<std::size_t>(2 * wide.size(), 1);
    Check(strnlen(fromWide.get(), room) < room);
    Check(Char2CString(fromWide.get()).GetLength() <= static_cast<int>(2 * std::strlen(fromWide.get())));
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
        RunCounted(input, wide, round % 2 == 1 ? ConvertGenericStringToAnsiCch : ConvertWideStringToAnsiCch, kCanary);
        RunCounted(input, narrow, round % 2 == 1 ? ConvertAnsiStringToGenericCch : ConvertAnsiStringToWideCch, kWideCanary);
    }
    CheckAllocatingConversions(narrow, wide);
    return 0;
}
