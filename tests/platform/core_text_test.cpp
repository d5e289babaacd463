// 16-bit string routines and counted strings (Windows-1252 as ANSI).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace {

TEST(WideStrings, CopyConcatenateMeasure) {
    WCHAR b[16];
    wcscpy(b, u"abc");
    EXPECT_EQ(wcslen(b), 3u);
    wcscat(b, u"de");
    EXPECT_EQ(std::u16string(b), u"abcde");
    wcsncat(b, u"fghij", 2);
    EXPECT_EQ(std::u16string(b), u"abcdefg");
    EXPECT_EQ(wcsnlen(b, 4), 4u);
    EXPECT_EQ(wcsnlen(b, 40), 7u);
    // wcsncpy pads with zeroes and does not terminate a full copy.
    WCHAR c[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
    wcsncpy(c, u"xy", 5);
    EXPECT_EQ(std::u16string(c, 6), std::u16string(u"xy\0\0\0#", 6));
    wcsncpy(c, u"longer", 3);
    EXPECT_EQ(std::u16string(c, 4), std::u16string(u"lon\0", 4));
}

TEST(WideStrings, CompareAndSearch) {
    EXPECT_EQ(wcscmp(u"abc", u"abc"), 0);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(wcscmp(u"abc", u"ab"), 0);
    EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_EQ(_wcsicmp(u"Defragme.DAT", u"defragme.dat"), 0);
    EXPECT_EQ(_wcsicmp(u"\u00c9T\u00c9", u"\u00e9t\u00e9"), 0);
    // Case-insensitive order is that of the lower-case forms: '_' sorts before 'a'.
    EXPECT_LT(_wcsicmp(u"_", u"A"), 0);
    EXPECT_EQ(_wcsnicmp(u"DOZUZORO C:", u"dozuzoro D:", 9), 0);
    EXPECT_NE(_wcsnicmp(u"DOZUZORO C:", u"dozuzoro D:", 10), 0);
    const WCHAR *s = u"a\\b\\c";
    EXPECT_EQ(wcschr(s, u'\\'), s + 1);
    EXPECT_EQ(wcsrchr(s, u'\\'), s + 3);
    EXPECT_EQ(wcschr(s, u'z'), nullptr);
    EXPECT_EQ(wcschr(s, u'\0'), s + 5);
    EXPECT_EQ(wcsstr(s, u"b\\c"), s + 2);
    EXPECT_EQ(wcsstr(s, u"bc"), nullptr);
    EXPECT_EQ(wcsstr(s, u""), s);
}

TEST(WideStrings, CaseConversion) {
    WCHAR b[] = u"page=place \u00e9\u00ff";
    _wcsupr(b);
    EXPECT_EQ(std::u16string(b), u"PAGE=PLACE \u00c9\u0178");
    _wcslwr(b);
    EXPECT_EQ(std::u16string(b), u"page=place \u00e9\u00ff");
}

TEST(WideStrings, Numbers) {
    WCHAR *end = nullptr;
    EXPECT_EQ(wcstol(u"  -42xyz", &end, 10), -42);
    EXPECT_EQ(*end, u'x');
    EXPECT_EQ(wcstol(u"0x1F", nullptr, 0), 31);
    EXPECT_EQ(wcstol(u"017", nullptr, 0), 15);
    EXPECT_EQ(wcstol(u"ff", nullptr, 16), 255);
    const WCHAR *none = u"abc";
    EXPECT_EQ(wcstol(none, &end, 10), 0);
    EXPECT_EQ(end, none);
    // LONG is 32 bits: out-of-range values clamp to its limits.
    errno = 0;
    EXPECT_EQ(wcstol(u"99999999999", nullptr, 10), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(wcstol(u"-99999999999", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(wcstol(u"-2147483648", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(_wtoi(u"123456"), 123456);
    EXPECT_EQ(_wtoi(u"12ab"), 12);
}

TEST(CountedStrings, InitSetsByteLengths) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"C:");
    EXPECT_EQ(u.Length, 4);
    EXPECT_EQ(u.MaximumLength, 6);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "LOG=");
    EXPECT_EQ(a.Length, 4);
    EXPECT_EQ(a.MaximumLength, 5);
}

TEST(CountedStrings, AnsiToUnicodeIsWindows1252) {
    ANSI_STRING a;
    RtlInitAnsiString(&a, "x\x80\x9f\xe9\x81");
    UNICODE_STRING u{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(u.Length, 10);
    EXPECT_EQ(std::u16string(u.Buffer), u"x\u20ac\u0178\u00e9\u0081");
    EXPECT_EQ(RtlSizeHeap(RtlProcessHeap(), 0, u.Buffer), 12u);
    RtlFreeUnicodeString(&u);
    EXPECT_EQ(u.Buffer, nullptr);

    // Into the caller's buffer: it must hold the text and its terminator.
    WCHAR small[3];
    UNICODE_STRING into{0, sizeof small, small};
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&into, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    RtlInitAnsiString(&a, "ab");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&into, &a, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(small), u"ab");
}

TEST(CountedStrings, UnicodeToAnsiReplacesWhatCannotBeHeld) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"\u00e9\u20ac\u4e2d!");
    ANSI_STRING a{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &u, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(a.Length, 4);
    EXPECT_STREQ(a.Buffer, "\xe9\x80?!");
    RtlFreeAnsiString(&a);

    // A short buffer gets what fits, terminated, and an overflow status.
    char small[3] = {'#', '#', '#'};
    ANSI_STRING into{0, sizeof small, small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&into, &u, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(into.Length, 2);
    EXPECT_EQ(std::string(small, 3), std::string("\xe9\x80\0", 3));
}

TEST(CountedStrings, CreateFromAsciizAndCompare) {
    UNICODE_STRING a{}, b{}, c;
    ASSERT_TRUE(RtlCreateUnicodeStringFromAsciiz(&a, "BootExecute"));
    ASSERT_TRUE(RtlCreateUnicodeStringFromAsciiz(&b, "bootexecute"));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    RtlInitUnicodeString(&c, u"BootExec");
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, TRUE), 0);
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    RtlFreeUnicodeString(&a);
    RtlFreeUnicodeString(&b);
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'z'), u'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');
}

}  // namespace
