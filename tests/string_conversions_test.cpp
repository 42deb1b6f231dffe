// String conversions between the locale's multibyte encoding and wide strings: status
// codes, the zero in the last character, cut strings and the allocating forms, in the
// "C" locale and (when the system has it) in C.UTF-8.
#include "talvex05u/support/StringConversions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Switches the process's LC_CTYPE for one test and restores it afterwards.
struct LocaleScope {
    explicit LocaleScope(const char* name) : previous(std::setlocale(LC_CTYPE, nullptr)), active(std::setlocale(LC_CTYPE, name) != nullptr) {}
    ~LocaleScope() { std::setlocale(LC_CTYPE, previous.c_str()); }
    std::string previous;
    bool active;
};

TEST(StringConversions, CountedConversionsStatusAndDestinationAndAllocatingForms) {
    LocaleScope cLocale("C");
    // ASCII source converted in both directions (nullptr: missing), size, null destination, status,
    // expected text (nullptr: the destination stays untouched). Negative sizes: the fuzz target's
    // saved inputs (fuzz_replay_test) give each conversion one.
    struct Case { const char* source; int size; bool nullDestination; std::int32_t status; const char* expected; };
    const Case cases[] = {
        {"x", 0, false, talvex::kConvertInvalidArg, nullptr},     {"x", 4, true, talvex::kConvertInvalidArg, nullptr},
        {nullptr, 4, false, talvex::kConvertInvalidArg, nullptr}, {"", 1, false, talvex::kConvertOk, ""},
        {"a", 1, false, talvex::kConvertFail, ""},                {"abc", 4, false, talvex::kConvertOk, "abc"},
        {"abcd", 4, false, talvex::kConvertFail, "abc"},          {"abc", 10, false, talvex::kConvertOk, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source != nullptr ? c.source : "<null>") + " size " + std::to_string(c.size));
        const std::size_t room = static_cast<std::size_t>(std::max(c.size, 0));
        const std::wstring wideSource = c.source != nullptr ? std::wstring(c.source, c.source + std::strlen(c.source)) : L"";
        const wchar_t* wide = c.source != nullptr ? wideSource.c_str() : nullptr;
        for (auto convert : {&ConvertWideStringToAnsiCch, &ConvertGenericStringToAnsiCch}) {
            std::vector<char> ansi(room + 2, '#');
            EXPECT_EQ(convert(c.nullDestination ? nullptr : ansi.data(), wide, c.size), c.status);
            if (c.expected == nullptr) {
                EXPECT_EQ(std::string(ansi.begin(), ansi.end()), std::string(room + 2, '#'));
                continue;
            }
            EXPECT_STREQ(ansi.data(), c.expected);
            EXPECT_EQ(ansi[room - 1], '\0');  // the last character is always a zero
            EXPECT_EQ(ansi[room], '#');
        }
        for (auto convert : {&ConvertAnsiStringToWideCch, &ConvertAnsiStringToGenericCch}) {
            std::vector<wchar_t> out(room + 2, L'#');
            EXPECT_EQ(convert(c.nullDestination ? nullptr : out.data(), c.source, c.size), c.status);
            const std::string expected = c.expected != nullptr ? std::string(c.expected) + '\0' : std::string(room + 2, '#');
            EXPECT_EQ(std::wstring(out.data(), out.data() + expected.size()), std::wstring(expected.begin(), expected.end()));
            EXPECT_EQ(out[room], L'#');
        }
    }
    // The allocating forms.
    for (const wchar_t* text : {L"abc", L"", L"x"}) {
        std::unique_ptr<char[]> narrow(CString2Char(CString(text)));
        EXPECT_EQ(std::wstring(narrow.get(), narrow.get() + std::strlen(narrow.get())), text);
    }
    EXPECT_EQ(std::make_tuple(Char2CString("127.0.0.1").str(), Char2CString("z").str()), std::make_tuple(std::wstring(L"127.0.0.1"), std::wstring(L"z")));
    EXPECT_TRUE(Char2CString("").IsEmpty() && Char2CString(nullptr).IsEmpty());
}

// The status of a conversion into `destination` and the text it left there.
template <typename Char, std::size_t N, typename Source>
auto Converted(std::int32_t (*convert)(Char*, const Source*, int), Char (&destination)[N], const Source* source, int size) {
    const std::int32_t status = convert(destination, source, size);
    return std::make_tuple(status, std::basic_string<Char>(destination));
}

TEST(StringConversions, MultibyteText) {
    if (LocaleScope cLocale("C"); MB_CUR_MAX == 1) {  // characters without a narrow form become '?'
        char destination[8];
        EXPECT_EQ(Converted(&ConvertWideStringToAnsiCch, destination, L"a\u4E2Db", 8), std::make_tuple(talvex::kConvertOk, std::string("a?b")));
        EXPECT_EQ(Converted(&ConvertWideStringToAnsiCch, destination, L"abcdef\u4E2D", 7),   // '?' does not fit
                  std::make_tuple(talvex::kConvertFail, std::string("abcdef")));
    }
    LocaleScope utf8("C.UTF-8");
    if (!utf8.active) GTEST_SKIP() << "C.UTF-8 locale not available on this system";
    EXPECT_EQ(Char2CString("gr\xC3\xBC\xC3\x9F"), L"gr\u00FC\u00DF");
    EXPECT_STREQ(std::unique_ptr<char[]>(CString2Char(CString(L"gr\u00FC\u00DF"))).get(), "gr\xC3\xBC\xC3\x9F");
    // A two-byte character that does not fit completely is left out, not cut in half.
    char destination[3] = {'#', '#', '#'};
    EXPECT_EQ(Converted(&ConvertWideStringToAnsiCch, destination, L"a\u00FC", 3), std::make_tuple(talvex::kConvertFail, std::string("a")));
    // Each byte of a broken sequence becomes U+FFFD, and the conversion goes on.
    wchar_t wide[8];
    EXPECT_EQ(Converted(&ConvertAnsiStringToWideCch, wide, "ab\xC3", 8), std::make_tuple(talvex::kConvertOk, std::wstring(L"ab\uFFFD")));
    EXPECT_EQ(Converted(&ConvertAnsiStringToWideCch, wide, "\xFF\xC3x", 8), std::make_tuple(talvex::kConvertOk, std::wstring(L"\uFFFD\uFFFDx")));
    EXPECT_EQ(Char2CString("a\xE4"), L"a\uFFFD");
    EXPECT_EQ((std::tuple<std::int32_t, wchar_t>{ConvertAnsiStringToWideCch(wide, "abcdef\xFF", 7), wide[6]}),   // does not fit
              std::make_tuple(talvex::kConvertFail, L'\0'));
    // A character UTF-8 cannot hold (a lone surrogate) becomes '?'.
    const wchar_t lone[] = {L'x', static_cast<wchar_t>(0xD800), L'\0'};
    char narrowLone[8];
    EXPECT_EQ(Converted(&ConvertWideStringToAnsiCch, narrowLone, lone, 8), std::make_tuple(talvex::kConvertOk, std::string("x?")));
}

}  // namespace
