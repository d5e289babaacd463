// The rules behind `frag --why` and the cluster map that need no image: the
// programs' wildcard match and keyword reading, and the per-cell counts.
#include <gtest/gtest.h>

#include "frag.h"
#include "why.h"

namespace {

TEST(WildMatch, AsTheProgramsMatch) {
    struct Case {
        const char *text, *pattern;
        bool want;
    } cases[] = {
        {"C:\\DATA\\REPORT.TMP.OLD", "*.TMP", false},  // the last part is anchored at the end
        {"C:\\DATA\\REPORT.TMP", "*.tmp", true},
        {"c:\\recycled\\dc1.exe", "*:\\RECYCLED\\*", true},
        {"C:\\RECYCLED", "*:\\RECYCLED\\*", false},
        {"C:\\RECYCLED", "*:\\RECYCLED", true},
        {"D:\\pagefile.sys", "?:\\PAGEFILE.SYS", true},
        {"XAYAB", "*A*B", true},
        {"XABYABZC", "*AB*C", true},
        {"XAYB", "*AB", false},
        {"C:\\BOOTSECT.DOS", "*bootsect.dos", true},
        {"ABC", "ABC", true},
        {"ABC", "ABCD", false},
        {"", "*", false},
        {"C:\\A B\\FILE", "*\\A?B\\*", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ntm::why::wild_match(c.text, c.pattern), c.want) << c.text << " ~ " << c.pattern;
}

TEST(RunOptions, KeywordsDefaultsAndRefusals) {
    using ntm::why::parse_run;
    ntm::why::RunOptions plain = parse_run("", true);
    EXPECT_EQ(plain.files, 0);
    EXPECT_EQ(plain.dirs, 1);
    EXPECT_EQ(plain.page, 0);
    EXPECT_TRUE(plain.refused.empty());

    ntm::why::RunOptions full = parse_run("c: files=full Ex=*.TMP,*\\KEEP\\* LEV=4 LOG=A:\\x.log NOMOVE", true);
    EXPECT_EQ(full.files, 1);
    EXPECT_TRUE(full.files_given);
    EXPECT_FALSE(full.move_files);
    EXPECT_EQ(full.excludes, (std::vector<std::string>{"*.TMP", "*\\KEEP\\*"}));
    EXPECT_TRUE(full.refused.empty()) << full.refused;

    ntm::why::RunOptions mft = parse_run("MFT=MIN", true);
    EXPECT_EQ(mft.files, 1);
    EXPECT_EQ(mft.dirs, 4);
    EXPECT_FALSE(mft.files_given);
    EXPECT_TRUE(mft.dfrg_bins && mft.dfrg_shel);

    for (const char *bad : {"DIRS=FREE DIRS=ZERO", "FILES=FULL BOGUS", "LEV=12", "LEV=A", "LOG=x.log", "FILEX=12,a3"})
        EXPECT_FALSE(parse_run(bad, true).refused.empty()) << bad;
    EXPECT_EQ(parse_run("FILES=LIST FILEX=12,,7 LEV=/", true).file_list, (std::vector<uint64_t>{12, 0, 7}));
    EXPECT_TRUE(parse_run("FILES=LIST FILEX=12,,7 LEV=/", true).refused.empty());
    // Keywords of the NTFS program only.
    EXPECT_EQ(parse_run("MFT=MIN", false).refused, "MFT=MIN");
    EXPECT_TRUE(parse_run("FILES=FULL DFRGBINS", false).dfrg_shel);
}

TEST(Cells, EachClusterCountedOnceByWhatHoldsIt) {
    ntm::frag::Report r;
    r.fs = "NTFS";
    r.total_clusters = 30;
    // In use: 0-9 and 20-23; the MFT zone is 4-13.
    r.bitmap = {0xFF, 0x03, 0xF0, 0x00};
    r.mft_zone_start = 4;
    r.mft_zone_end = 14;
    ntm::frag::Item mft, file;
    mft.record = 0;
    mft.kind = ntm::frag::Item::System;
    mft.runs = {{4, 3}};
    file.record = 40;
    file.fragments = 2;
    file.runs = {{0, 2}, {6, 3}};  // overlaps the MFT: counted once, for the MFT
    r.items = {mft, file};
    ntm::frag::Cells cells = ntm::frag::tally(r, 8);
    ASSERT_EQ(cells.counts.size(), 4u);
    auto totals = ntm::frag::class_totals(r);
    EXPECT_EQ(totals[ntm::frag::kMft], 3u);
    EXPECT_EQ(totals[ntm::frag::kFragmented], 4u);  // 0-1 and 7-8 (6 is the MFT's)
    EXPECT_EQ(totals[ntm::frag::kOther], 7u);       // in use, held by nothing: 2-3, 9, 20-23
    EXPECT_EQ(totals[ntm::frag::kMftZone], 4u);     // free in the zone: 10-13
    EXPECT_EQ(totals[ntm::frag::kFree], 12u);       // the rest
    uint64_t sum = 0;
    for (auto t : totals) sum += t;
    EXPECT_EQ(sum, 30u);
    EXPECT_EQ(cells.major(0), ntm::frag::kMft);   // 0-7: 3 MFT, 3 fragmented, 2 other; a tie goes to the lower class
    EXPECT_EQ(cells.major(3), ntm::frag::kFree);  // 24-29
}

}  // namespace
