// The wildcard matcher of the exclusion rules: named cases, and a property
// test against a backtracking matcher on the patterns where the two must
// agree (those without '?').
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "frame.h"

namespace {

struct MatchCase {
    const char *name;
    const char16_t *text;
    const char16_t *pattern;
    BOOL caseSensitive;
    bool expected;
};

const MatchCase kCases[] = {
    // The rules' own examples.
    {"last literal anchored at the end", u"C:\\WORK\\NOTES.TMP.OLD", u"*.TMP", 0, false},
    {"folder contents in lower case", u"c:\\recycled\\dc1.txt", u"*:\\RECYCLED\\*", 0, true},
    {"folder itself not its contents", u"C:\\RECYCLED", u"*:\\RECYCLED\\*", 0, false},
    {"folder pattern matches the folder", u"c:\\Recycled", u"*:\\RECYCLED", 0, true},
    {"question mark for any drive", u"E:\\BOOTSECT.DOS", u"?:\\BOOTSECT.DOS", 0, true},
    {"star A star B", u"XAYAB", u"*A*B", 0, true},
    {"first occurrence then anchored end", u"XABYABZC", u"*AB*C", 0, true},
    {"name anywhere, any case", u"d:\\old\\bootsect.dos", u"*BOOTSECT.DOS", 0, true},
    // No backtracking: the first occurrence of a middle run is kept even
    // when a later one would have let the rest match.
    {"no backtracking after first occurrence", u"ABXABCD", u"*AB?D", 0, false},
    {"later occurrence not tried", u"ABAXC", u"*A?C", 0, false},
    {"first occurrence found past a partial one", u"AAAB", u"*AAB*", 0, true},
    {"first occurrence leaves room for the rest", u"XABAB", u"*AB*AB", 0, true},
    {"anchored last run may not reuse matched text", u"AB", u"*AB*B", 0, false},
    // Anchoring of the last literal run.
    {"suffix followed by more text", u"C:\\BOOTSECT.DOSX", u"*BOOTSECT.DOS", 0, false},
    {"text shorter than the last run", u"SAF", u"*SAFE", 0, false},
    {"last run repeated in the text", u"X.DOS.DOS", u"*.DOS", 0, true},
    {"literal prefix must match in place", u"D:\\X", u"C:\\*", 0, false},
    {"path component, not suffix", u"C:\\dir\\safeboot.fs", u"*:\\safeboot.fs", 0, false},
    {"path component in the root", u"C:\\SAFEBOOT.FS", u"*:\\safeboot.fs", 0, true},
    // Question marks take exactly one character.
    {"question mark needs a character", u"C:\\", u"C:\\?", 0, false},
    {"two question marks, one character", u"C:\\A", u"C:\\??", 0, false},
    {"question marks exact", u"C:\\AB", u"C:\\??", 0, true},
    {"question mark then literal", u"C:\\XY", u"?:\\?Y", 0, true},
    // Stars.
    {"trailing star takes the rest", u"C:\\RECYCLED\\", u"*:\\RECYCLED\\*", 0, true},
    {"lone star", u"ANYTHING AT ALL", u"*", 0, true},
    {"double star", u"AB", u"**B", 0, true},
    {"pattern longer than text", u"ABC", u"ABC?", 0, false},
    {"text longer than pattern", u"ABCD", u"ABC", 0, false},
    // Letter case.
    {"case folded both ways", u"C:\\Boot\\ShellIconCache", u"*shelliconcache", 0, true},
    {"case kept when asked", u"C:\\Boot\\ShellIconCache", u"*shelliconcache", 1, false},
    {"case kept, same case", u"C:\\Boot\\ShellIconCache", u"*ShellIconCache", 1, true},
    {"plain pattern, any case", u"c:\\pagefile.sys", u"C:\\PAGEFILE.SYS", 0, true},
    {"plain pattern, case kept", u"c:\\pagefile.sys", u"C:\\PAGEFILE.SYS", 1, false},
    {"letters beyond ASCII", u"c:\\\u00e9t\u00e9\\x", u"*\u00c9T\u00c9\\*", 0, true},
    // Empty and absent texts never match.
    {"empty text", u"", u"*", 0, false},
    {"empty pattern", u"X", u"", 0, false},
};

TEST(WildcardMatch, NamedCases) {
    for (const MatchCase &c : kCases) {
        EXPECT_EQ(lStrWildCmp((const WCHAR *)c.text, (const WCHAR *)c.pattern, c.caseSensitive) != FALSE, c.expected)
            << c.name;
    }
}

TEST(WildcardMatch, AbsentTextOrPattern) {
    EXPECT_FALSE(lStrWildCmp(nullptr, u"*", 0));
    EXPECT_FALSE(lStrWildCmp(u"X", nullptr, 0));
}

TEST(WildcardMatch, TextsAndPatternsAreNotChanged) {
    WCHAR text[] = u"c:\\recycled\\x";
    WCHAR pattern[] = u"*:\\RECYCLED\\*";
    EXPECT_TRUE(lStrWildCmp(text, pattern, 0));
    EXPECT_EQ(std::u16string(text), u"c:\\recycled\\x");
    EXPECT_EQ(std::u16string(pattern), u"*:\\RECYCLED\\*");
}

TEST(WildcardMatch, PathsOfAnyLength) {
    // A path as long as the path buffer allows.
    std::u16string path = u"C:";
    while (path.size() < 32000) path += u"\\DIRECTORY";
    path += u"\\BOOTSECT.DOS";
    EXPECT_TRUE(lStrWildCmp((const WCHAR *)path.c_str(), u"*BOOTSECT.DOS", 0));
    EXPECT_TRUE(lStrWildCmp((const WCHAR *)path.c_str(), u"C:\\DIRECTORY\\*", 0));
    EXPECT_FALSE(lStrWildCmp((const WCHAR *)path.c_str(), u"*\\DIRECTORY", 0));
}

// A backtracking matcher, case-insensitive over ASCII letters: the obvious
// reference for patterns of literals and stars.
bool Reference(const std::u16string &t, size_t i, const std::u16string &p, size_t j) {
    auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? (char16_t)(c - 32) : c; };
    if (j == p.size()) return i == t.size();
    if (p[j] == u'*') {
        for (size_t k = i; k <= t.size(); k++)
            if (Reference(t, k, p, j + 1)) return true;
        return false;
    }
    return i < t.size() && up(t[i]) == up(p[j]) && Reference(t, i + 1, p, j + 1);
}

TEST(WildcardMatch, AgreesWithBacktrackingWithoutQuestionMarks) {
    // Without '?', taking each middle run at its first occurrence and the
    // last run at the end of the text loses no match.
    std::mt19937 random(20240601);
    const char16_t letters[] = u"ABab*";
    int matches = 0, trials = 20000;
    for (int n = 0; n < trials; n++) {
        std::u16string text, pattern;
        size_t textLength = 1 + random() % 9, patternLength = 1 + random() % 6;
        for (size_t i = 0; i < textLength; i++) text += letters[random() % 4];
        for (size_t i = 0; i < patternLength; i++) pattern += letters[random() % 5];
        bool expected = Reference(text, 0, pattern, 0);
        matches += expected;
        ASSERT_EQ(lStrWildCmp((const WCHAR *)text.c_str(), (const WCHAR *)pattern.c_str(), 0) != FALSE, expected)
            << "text " << std::string(text.begin(), text.end()) << " pattern "
            << std::string(pattern.begin(), pattern.end());
    }
    // Both answers were exercised.
    EXPECT_GT(matches, trials / 20);
    EXPECT_LT(matches, trials - trials / 20);
}

TEST(DecimalDigit, OnlyTheTenAsciiDigits) {
    for (WCHAR c = u'0'; c <= u'9'; c++) EXPECT_TRUE(isdecimaldigit(c)) << (int)c;
    for (WCHAR c : {u'/', u':', u'a', u' ', (WCHAR)0, (WCHAR)0xFF10, (WCHAR)0x0660}) EXPECT_FALSE(isdecimaldigit(c));
}

}  // namespace
