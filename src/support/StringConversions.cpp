// Conversions between the multibyte encoding of the process's LC_CTYPE locale (the
// library's "ANSI code page") and wide strings. Characters are converted one at a
// time with the restartable functions, so a destination is never written past its
// size and a character that does not fit completely is not written at all.
#include "talvex05u/support/StringConversions.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>

namespace {

bool InvalidArguments(const void* destination, const void* source, int size) {
    return destination == nullptr || source == nullptr || size < 1;
}

// What a character becomes that the encoding cannot hold: the default character
// towards 8-bit, the replacement character towards wide. The conversion goes on.
constexpr wchar_t kDefaultCharacter = L'?';
constexpr wchar_t kReplacementCharacter = static_cast<wchar_t>(0xFFFD);

// The multibyte form of `character`, or of the default character when the locale
// has none for it. Some locales drop a character they cannot encode (0 bytes):
// that is no form either.
std::size_t EncodeOrSubstitute(char (&encoded)[MB_LEN_MAX], wchar_t character, std::mbstate_t& state) {
    const std::size_t length = std::wcrtomb(encoded, character, &state);
    if (length != static_cast<std::size_t>(-1) && (length != 0 || character == L'\0')) return length;
    state = std::mbstate_t{};
    return std::wcrtomb(encoded, kDefaultCharacter, &state);
}

// Wide to multibyte, terminator included. False only when the result does not fit;
// the characters that fitted stay, and the string is ended behind the last whole
// character, so it is never cut inside a sequence.
bool ConvertWideToMultibyte(char* destination, const wchar_t* source, std::size_t capacity) {
    std::mbstate_t state{};
    std::size_t used = 0;
    std::size_t endOfWholeCharacters = 0;  // where a terminator can go behind whole characters
    for (const wchar_t* p = source;; ++p) {
        char encoded[MB_LEN_MAX];
        const std::size_t length = EncodeOrSubstitute(encoded, *p, state);
        if (length == static_cast<std::size_t>(-1) || length > capacity - used) {
            destination[endOfWholeCharacters] = '\0';
            return false;
        }
        std::memcpy(destination + used, encoded, length);
        used += length;
        if (*p == L'\0') return true;
        if (used < capacity) endOfWholeCharacters = used;
    }
}

// Multibyte to wide, terminator included. Each byte that starts no valid sequence
// (a sequence cut by the end of the string included) becomes the replacement
// character and the conversion goes on behind it. False when the destination is
// full before the terminator.
bool ConvertMultibyteToWide(wchar_t* destination, const char* source, std::size_t capacity) {
    std::mbstate_t state{};
    const std::size_t sourceLength = std::strlen(source) + 1;  // with the terminator
    std::size_t read = 0;
    for (std::size_t written = 0; written < capacity; ++written) {
        wchar_t character = L'\0';
        std::size_t length = std::mbrtowc(&character, source + read, sourceLength - read, &state);
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            character = kReplacementCharacter;
            length = 1;
        }
        destination[written] = character;
        if (length == 0) return true;  // the terminator
        read += length;
    }
    return false;
}

}  // namespace

std::int32_t ConvertWideStringToAnsiCch(char* destination, const wchar_t* source, int size) {
    if (InvalidArguments(destination, source, size)) return talvex::kConvertInvalidArg;
    const bool converted = ConvertWideToMultibyte(destination, source, static_cast<std::size_t>(size));
    destination[size - 1] = '\0';
    return converted ? talvex::kConvertOk : talvex::kConvertFail;
}

std::int32_t ConvertAnsiStringToWideCch(wchar_t* destination, const char* source, int size) {
    if (InvalidArguments(destination, source, size)) return talvex::kConvertInvalidArg;
    const bool converted = ConvertMultibyteToWide(destination, source, static_cast<std::size_t>(size));
    destination[size - 1] = L'\0';
    return converted ? talvex::kConvertOk : talvex::kConvertFail;
}

// The library's generic text is wide text, so these are the wide conversions.
std::int32_t ConvertGenericStringToAnsiCch(char* destination, const wchar_t* source, int size) {
    if (InvalidArguments(destination, source, size)) return talvex::kConvertInvalidArg;
    return ConvertWideStringToAnsiCch(destination, source, size);
}

std::int32_t ConvertAnsiStringToGenericCch(wchar_t* destination, const char* source, int size) {
    if (InvalidArguments(destination, source, size)) return talvex::kConvertInvalidArg;
    return ConvertAnsiStringToWideCch(destination, source, size);
}

// Room for two wide characters per source byte; a null source counts as empty.
CString Char2CString(const char* source) {
    CString result;
    if (source == nullptr || *source == '\0') return result;
    const std::size_t length = std::strlen(source);
    if (length > static_cast<std::size_t>(INT_MAX / 2)) return result;
    const int capacity = static_cast<int>(2 * length);
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[static_cast<std::size_t>(capacity)]());
    ConvertAnsiStringToGenericCch(buffer.get(), source, capacity);
    result = CString(buffer.get());
    return result;
}

// Two bytes per wide character; an empty string gives an array holding only the
// terminator, so the result is always a valid string.
char* CString2Char(const CString& text) {
    const std::size_t length = static_cast<std::size_t>(text.GetLength());
    if (length == 0 || length > static_cast<std::size_t>(INT_MAX / 2)) return new char[1]();
    const int capacity = static_cast<int>(2 * length);
    char* converted = new char[static_cast<std::size_t>(capacity)]();
    ConvertGenericStringToAnsiCch(converted, text.GetString(), capacity);
    return converted;
}
