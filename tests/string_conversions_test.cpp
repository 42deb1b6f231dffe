// String conversions between the locale's multibyte encoding and wide strings: status
// codes, the zero in the last character, cut strings, and the allocating forms, in
// the "C" locale and (when the system has it) in C.UTF-8.
#include "talvex05u/support/StringConversions.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using WideToAnsi = std::int32_t (*)(char*, const wchar_t*, int);
using AnsiToWide = std::int32_t (*)(wchar_t*, const char*, int);

// Switches the process's LC_CTYPE for one test and restores it afterwards.
class LocaleScope {
public:
    explicit LocaleScope(const char* name) {
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        m_previous = current != nullptr ? current : "C";
        m_active = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~LocaleScope() { std::setlocale(LC_CTYPE, m_previous.c_str()); }
    bool Active() const { return m_active; }

private:
    std::string m_previous;
    bool m_active = false;
};

TEST(StringConversions, InvalidArgumentsLeaveTheDestinationAlone) {
    const std::pair<const char*, WideToAnsi> toAnsi[] = {{"wide", &ConvertWideStringToAnsiCch},
                                                         {"generic", &ConvertGenericStringToAnsiCch}};
    for (const auto& [name, convert] : toAnsi) {
        SCOPED_TRACE(name);
        char destination[4] = {'a', 'b', 'c', 'd'};
        for (int size : {0, -1, -100}) EXPECT_EQ(convert(destination, L"x", size), kConvertInvalidArg);
        EXPECT_EQ(convert(nullptr, L"x", 4), kConvertInvalidArg);
        EXPECT_EQ(convert(destination, nullptr, 4), kConvertInvalidArg);
        EXPECT_EQ(std::string(destination, 4), "abcd");
    }
    const std::pair<const char*, AnsiToWide> toWide[] = {{"wide", &ConvertAnsiStringToWideCch},
                                                         {"generic", &ConvertAnsiStringToGenericCch}};
    for (const auto& [name, convert] : toWide) {
        SCOPED_TRACE(name);
        wchar_t destination[4] = {L'a', L'b', L'c', L'd'};
        for (int size : {0, -1}) EXPECT_EQ(convert(destination, "x", size), kConvertInvalidArg);
        EXPECT_EQ(convert(nullptr, "x", 4), kConvertInvalidArg);
        EXPECT_EQ(convert(destination, nullptr, 4), kConvertInvalidArg);
        EXPECT_EQ(std::wstring(destination, 4), L"abcd");
    }
}

TEST(StringConversions, CountedConversionsFitCutAndTerminate) {
    LocaleScope cLocale("C");
    struct Case {
        const wchar_t* wide;
        const char* ansi;
        int size;
        std::int32_t status;
        const char* expectedAnsi;
        const wchar_t* expectedWide;
    };
    const Case cases[] = {
        {L"", "", 1, kConvertOk, "", L""},
        {L"a", "a", 1, kConvertFail, "", L""},
        {L"abc", "abc", 4, kConvertOk, "abc", L"abc"},      // terminator in the last character
        {L"abcd", "abcd", 4, kConvertFail, "abc", L"abc"},  // one character too long
        {L"abc", "abc", 10, kConvertOk, "abc", L"abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ansi + std::string(" size ") + std::to_string(c.size));
        std::vector<char> ansi(static_cast<std::size_t>(c.size) + 2, '#');
        EXPECT_EQ(ConvertWideStringToAnsiCch(ansi.data(), c.wide, c.size), c.status);
        EXPECT_STREQ(ansi.data(), c.expectedAnsi);
        EXPECT_EQ(ansi[static_cast<std::size_t>(c.size) - 1], '\0');
        EXPECT_EQ(ansi[static_cast<std::size_t>(c.size)], '#');

        std::vector<wchar_t> wide(static_cast<std::size_t>(c.size) + 2, L'#');
        EXPECT_EQ(ConvertAnsiStringToWideCch(wide.data(), c.ansi, c.size), c.status);
        EXPECT_STREQ(wide.data(), c.expectedWide);
        EXPECT_EQ(wide[static_cast<std::size_t>(c.size)], L'#');
    }
}

TEST(StringConversions, AllocatingConversions) {
    LocaleScope cLocale("C");
    std::unique_ptr<char[]> abc(CString2Char(CString(L"abc")));
    EXPECT_STREQ(abc.get(), "abc");  // in an array of 6 bytes
    std::unique_ptr<char[]> empty(CString2Char(CString()));
    EXPECT_STREQ(empty.get(), "");
    std::unique_ptr<char[]> single(CString2Char(CString(L"x")));
    EXPECT_STREQ(single.get(), "x");

    EXPECT_EQ(Char2CString("127.0.0.1"), L"127.0.0.1");
    EXPECT_TRUE(Char2CString("").IsEmpty());
    EXPECT_TRUE(Char2CString(nullptr).IsEmpty());
    EXPECT_EQ(Char2CString("z"), L"z");
}

TEST(StringConversions, MultibyteTextInUtf8Locale) {
    LocaleScope utf8("C.UTF-8");
    if (!utf8.Active()) GTEST_SKIP() << "C.UTF-8 locale not available on this system";

    EXPECT_EQ(Char2CString("gr\xC3\xBC\xC3\x9F"), L"gr\u00FC\u00DF");
    std::unique_ptr<char[]> narrow(CString2Char(CString(L"gr\u00FC\u00DF")));
    EXPECT_STREQ(narrow.get(), "gr\xC3\xBC\xC3\x9F");

    // A two-byte character that does not fit completely is left out, not cut in half.
    char destination[3] = {'#', '#', '#'};
    EXPECT_EQ(ConvertWideStringToAnsiCch(destination, L"a\u00FC", 3), kConvertFail);
    EXPECT_STREQ(destination, "a");

    // Broken sequences fail and stay terminated.
    wchar_t wide[8];
    EXPECT_EQ(ConvertAnsiStringToWideCch(wide, "ab\xC3", 8), kConvertFail);
    EXPECT_EQ(wide[7], L'\0');
    EXPECT_EQ(ConvertAnsiStringToWideCch(wide, "\xFF", 8), kConvertFail);
}

TEST(StringConversions, CharactersWithoutNarrowFormFailInCLocale) {
    LocaleScope cLocale("C");
    if (MB_CUR_MAX != 1) GTEST_SKIP() << "the C locale is multibyte here";
    char destination[8];
    EXPECT_EQ(ConvertWideStringToAnsiCch(destination, L"a\u4E2D", 8), kConvertFail);
    EXPECT_EQ(destination[7], '\0');
}

}  // namespace
