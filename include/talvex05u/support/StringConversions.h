#pragma once
// Conversions between 8-bit strings (the multibyte encoding of the process's
// LC_CTYPE locale, the library's "ANSI code page") and wide strings.
#include "talvex05u/platform/CString.h"
#include <cstdint>

namespace talvex {
constexpr std::int32_t kConvertOk = 0;                                        // S_OK
constexpr std::int32_t kConvertInvalidArg = static_cast<std::int32_t>(0x80070057u);  // E_INVALIDARG
constexpr std::int32_t kConvertFail = static_cast<std::int32_t>(0x80004005u);        // E_FAIL
}  // namespace talvex

std::int32_t ConvertWideStringToAnsiCch(char* destination, const wchar_t* source, int size);
std::int32_t ConvertAnsiStringToWideCch(wchar_t* destination, const char* source, int size);
std::int32_t ConvertGenericStringToAnsiCch(char* destination, const wchar_t* source, int size);
std::int32_t ConvertAnsiStringToGenericCch(wchar_t* destination, const char* source, int size);
CString Char2CString(const char* source);
// Returns an array allocated with new[]; the caller frees it with delete[].
char* CString2Char(const CString& text);
