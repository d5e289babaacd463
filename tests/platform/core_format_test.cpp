// The 16-bit formatter: Windows semantics of the conversions the programs use.
#include <gtest/gtest.h>

#include <string>

#include "internal.h"

namespace {

// Formats with swprintf into a guarded buffer and returns the text as UTF-8.
template <class... A>
std::string fmt(const char16_t *format, A... args) {
    WCHAR buffer[512];
    for (auto &c : buffer) c = u'#';
    int n = swprintf(buffer, format, args...);
    EXPECT_EQ(n, static_cast<int>(wcslen(buffer))) << "return value is the length written";
    return ntp::to_utf8(std::u16string(buffer, n));
}

TEST(Format, LongIsThirtyTwoBits) {
    // %ld reads a LONG: the low 32 bits of what it is given.
    EXPECT_EQ(fmt(u"%ld", (LONG)-5), "-5");
    EXPECT_EQ(fmt(u"%ld", (LONG)0x7FFFFFFF), "2147483647");
    EXPECT_EQ(fmt(u"%ld", (LONG)(0x100000005LL)), "5");
    EXPECT_EQ(fmt(u"%ld|%ld", (LONG)1, (LONG)2), "1|2");
    EXPECT_EQ(fmt(u"%lu", (ULONG)0xFFFFFFFF), "4294967295");
    EXPECT_EQ(fmt(u"%lx", (ULONG)0xDEADBEEF), "deadbeef");
    EXPECT_EQ(fmt(u"%lX", (ULONG)0xDEADBEEF), "DEADBEEF");
    // A 64-bit value passed to %ld: the slot holds it whole, only the low half counts.
    EXPECT_EQ(fmt(u"%ld %ld", (long long)0x1FFFFFFFFLL, (long long)7), "-1 7");
}

TEST(Format, SixtyFourBitPrefixes) {
    EXPECT_EQ(fmt(u"%I64d", (LONGLONG)-1234567890123LL), "-1234567890123");
    EXPECT_EQ(fmt(u"%lld", (LONGLONG)9223372036854775807LL), "9223372036854775807");
    EXPECT_EQ(fmt(u"%I64x", (ULONGLONG)0x123456789ABCull), "123456789abc");
    EXPECT_EQ(fmt(u"%llu", (ULONGLONG)18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(fmt(u"%I64d", (LONGLONG)(-9223372036854775807LL - 1)), "-9223372036854775808");
}

TEST(Format, ShortPrefix) {
    EXPECT_EQ(fmt(u"%hd", 0x12345), "9029");  // (short)0x2345
    EXPECT_EQ(fmt(u"%hd", 0xFFFF), "-1");
    EXPECT_EQ(fmt(u"%hu", 0x1FFFF), "65535");
}

TEST(Format, WidthsPaddingAlignment) {
    EXPECT_EQ(fmt(u"[%5d]", 42), "[   42]");
    EXPECT_EQ(fmt(u"[%-5d]", 42), "[42   ]");
    EXPECT_EQ(fmt(u"[%05d]", 42), "[00042]");
    EXPECT_EQ(fmt(u"[%05d]", -42), "[-0042]");
    EXPECT_EQ(fmt(u"[%-05d]", 42), "[42   ]");
    EXPECT_EQ(fmt(u"[%08lx]", (ULONG)0xBEEF), "[0000beef]");
    EXPECT_EQ(fmt(u"[%02lx]", (ULONG)0x7), "[07]");
    EXPECT_EQ(fmt(u"[%06lx: ]", (ULONG)0x10), "[000010: ]");
    EXPECT_EQ(fmt(u"[%2d%%]", 5), "[ 5%]");
    EXPECT_EQ(fmt(u"[%*d]", 6, 7), "[     7]");
    EXPECT_EQ(fmt(u"[%*d]", -6, 7), "[7     ]");
    EXPECT_EQ(fmt(u"[%.3d]", 7), "[007]");
    EXPECT_EQ(fmt(u"[%6.3d]", 7), "[   007]");
    EXPECT_EQ(fmt(u"[%06.3d]", 7), "[   007]");  // a precision turns the 0 flag off
    EXPECT_EQ(fmt(u"[%.0d]", 0), "[]");
    EXPECT_EQ(fmt(u"[%+d][% d][%+d]", 3, 3, -3), "[+3][ 3][-3]");
    EXPECT_EQ(fmt(u"[%#x][%#X][%#o][%#x]", 255, 255, 8, 0), "[0xff][0XFF][010][0]");
    EXPECT_EQ(fmt(u"[%#010x]", 255), "[0x000000ff]");
}

TEST(Format, Strings) {
    EXPECT_EQ(fmt(u"%s", u"wide text"), "wide text");
    EXPECT_EQ(fmt(u"%ls|%ws", u"a", u"b"), "a|b");
    EXPECT_EQ(fmt(u"%S|%hs", "narrow", "also"), "narrow|also");
    EXPECT_EQ(fmt(u"%s", (const WCHAR *)nullptr), "(null)");
    EXPECT_EQ(fmt(u"%S", (const char *)nullptr), "(null)");
    EXPECT_EQ(fmt(u"[%8s]", u"ab"), "[      ab]");
    EXPECT_EQ(fmt(u"[%-8s]", u"ab"), "[ab      ]");
    EXPECT_EQ(fmt(u"[%.2s]", u"abcdef"), "[ab]");
    EXPECT_EQ(fmt(u"[%.*s]", 3, u"abcdef"), "[abc]");
    EXPECT_EQ(fmt(u"%s", u"caf\u00e9 \u20ac"), "caf\u00e9 \u20ac");
    // 8-bit strings are Windows-1252.
    EXPECT_EQ(fmt(u"%S", "\x80\xe9"), "\u20ac\u00e9");
}

TEST(Format, CharactersAndPercent) {
    EXPECT_EQ(fmt(u"%c%c", u'O', u'K'), "OK");
    EXPECT_EQ(fmt(u"%c", 0x20AC), "\u20ac");
    EXPECT_EQ(fmt(u"%C", 'x'), "x");
    EXPECT_EQ(fmt(u"%hc", 'y'), "y");
    EXPECT_EQ(fmt(u"[%3c]", u'z'), "[  z]");
    EXPECT_EQ(fmt(u"100%%"), "100%");
    EXPECT_EQ(fmt(u"%c:\\Defragme.dat", u'C'), "C:\\Defragme.dat");
}

TEST(Format, CountedStringsAndPointers) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"counted");
    u.Length = 4 * sizeof(WCHAR);
    EXPECT_EQ(fmt(u"%wZ", &u), "coun");
    ANSI_STRING a;
    RtlInitAnsiString(&a, "ansi");
    EXPECT_EQ(fmt(u"%Z", &a), "ansi");
    EXPECT_EQ(fmt(u"%p", (void *)0x12AB), "00000000000012AB");
}

TEST(Format, UnknownConversionPrintsItself) {
    EXPECT_EQ(fmt(u"a%yb"), "ayb");
    EXPECT_EQ(fmt(u"end%"), "end");
}

TEST(Format, BoundedFormattingTruncates) {
    WCHAR b[8];
    for (auto &c : b) c = u'#';
    // Fits: terminator written, length returned.
    EXPECT_EQ(_snwprintf(b, 8, u"%d", 1234), 4);
    EXPECT_EQ(std::u16string(b), u"1234");
    // Exactly count characters: stored, no terminator.
    for (auto &c : b) c = u'#';
    EXPECT_EQ(_snwprintf(b, 4, u"%d", 1234), 4);
    EXPECT_EQ(std::u16string(b, 5), u"1234#");
    // Too long: -1, count characters stored, no terminator, nothing beyond.
    for (auto &c : b) c = u'#';
    EXPECT_EQ(_snwprintf(b, 4, u"%s", u"abcdefgh"), -1);
    EXPECT_EQ(std::u16string(b, 8), u"abcd####");
    // count 0 writes nothing at all.
    for (auto &c : b) c = u'#';
    EXPECT_EQ(_snwprintf(b, 0, u"x"), -1);
    EXPECT_EQ(b[0], u'#');
    EXPECT_EQ(_snwprintf(b, 0, u""), 0);
    EXPECT_EQ(b[0], u'#');
}

TEST(Format, FloatsAndLiteralText) {
    EXPECT_EQ(fmt(u"%.2f", 3.14159), "3.14");
    EXPECT_EQ(fmt(u"%6.1f|", 2.71), "   2.7|");
    EXPECT_EQ(fmt(u"no conversions here"), "no conversions here");
    EXPECT_EQ(fmt(u"Error #%%ld at line %ld in %s", (LONG)12, u"f.c"), "Error #%ld at line 12 in f.c");
}

}  // namespace
