// The image kit's logic that needs no image: hashing, the seeded generator,
// the manifest format, run-list decoding, the fragment rule, and the reading
// of the checking tools' messages.
#include <gtest/gtest.h>

#include <string>

#include "imgkit/imgkit.h"
#include "judge.h"
#include "ntfs_raw.h"
#include "plan.h"
#include "util.h"

using namespace imgkit;
using namespace imgkit::detail;

namespace {

TEST(ImgkitHash, Sha256KnownVectors) {
    EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const char *two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: padding spills
    EXPECT_EQ(sha256_hex(two_blocks, strlen(two_blocks)),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // A million 'a', fed in uneven pieces.
    Sha256 h;
    std::string chunk(997, 'a');
    size_t left = 1000000;
    while (left) {
        size_t n = std::min(left, chunk.size());
        h.update(chunk.data(), n);
        left -= n;
    }
    EXPECT_EQ(h.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ImgkitGenerator, SameSeedSameBytesOtherSeedOtherBytes) {
    Rng a(7), b(7), c(8);
    for (int i = 0; i < 100; i++) {
        uint64_t x = a.next();
        EXPECT_EQ(x, b.next());
        (void)c;
    }
    EXPECT_NE(Rng(7).next(), Rng(8).next());
    for (int i = 0; i < 1000; i++) {
        uint64_t v = a.between(3, 9);
        EXPECT_GE(v, 3u);
        EXPECT_LE(v, 9u);
    }
    auto x = make_content(42, 10000), y = make_content(42, 10000), z = make_content(43, 10000);
    EXPECT_EQ(x, y);
    EXPECT_NE(x, z);
    EXPECT_EQ(make_content(1, 0).size(), 0u);
    // Compressible content is mostly text.
    auto t = make_content(5, 20000, true);
    size_t printable = std::count_if(t.begin(), t.end(), [](uint8_t ch) { return ch >= 0x20 && ch < 0x7F; });
    EXPECT_GT(printable, t.size() * 8 / 10);
}

TEST(ImgkitManifest, RoundTripAndPaths) {
    Manifest m;
    m.fs = FsType::fat32;
    m.seed = 99;
    m.profile = "basic";
    m.files.push_back({"\\Dir One\\A long name.txt", 12, std::string(64, 'a')});
    m.files.push_back({"\\f.bin:stream", 0, std::string(64, '0')});
    Manifest back = Manifest::parse(m.to_text());
    EXPECT_EQ(back.fs, FsType::fat32);
    EXPECT_EQ(back.seed, 99u);
    EXPECT_EQ(back.profile, "basic");
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files[0].path, "\\Dir One\\A long name.txt");
    EXPECT_EQ(back.files[0].size, 12u);
    ASSERT_NE(back.find("\\f.bin:stream"), nullptr);
    EXPECT_EQ(back.find("\\missing"), nullptr);

    EXPECT_EQ(posix_path("\\Dir One\\A long name.txt"), "/Dir One/A long name.txt");
    EXPECT_EQ(posix_path("\\f.bin:stream"), "/f.bin");
    EXPECT_EQ(stream_of("\\f.bin:stream"), "stream");
    EXPECT_EQ(stream_of("\\f.bin"), "");
    EXPECT_EQ(mtools_path("\\A\\b"), "::/A/b");
}

TEST(ImgkitManifest, MalformedLinesAreRefused) {
    std::string hash(64, 'f');
    const char *bad[] = {
        "\\a.txt 12 ffff",             // no tabs
        "a.txt\t12\t",                 // no leading backslash, no hash
        "\\a.txt\t1x2\t",              // bad size
        "\\a.txt\t12\tFFFF",           // hash too short / upper case
        "\\a.txt\t12\t{hash}\textra",  // a fourth field
    };
    for (std::string line : bad) {
        size_t p = line.find("{hash}");
        if (p != std::string::npos) line.replace(p, 6, hash);
        EXPECT_THROW(Manifest::parse(line + "\n"), Error) << line;
    }
    EXPECT_NO_THROW(Manifest::parse("# comment\n\n\\a.txt\t12\t" + hash + "\n"));
}

struct RunCase {
    const char *name;
    std::vector<uint8_t> mp;
    uint64_t lowest_vcn;
    std::vector<detail::Run> want;
};

TEST(ImgkitRunList, DecodesMappingPairs) {
    const uint64_t total = 1 << 20;
    std::vector<RunCase> cases = {
        {"one run", {0x11, 0x05, 0x20, 0x00}, 0, {{0, 0x20, 5}}},
        {"two runs, second relative", {0x11, 0x04, 0x10, 0x11, 0x02, 0x08, 0x00}, 0, {{0, 0x10, 4}, {4, 0x18, 2}}},
        {"sparse run between",
         {0x11, 0x02, 0x40, 0x01, 0x03, 0x11, 0x01, 0x02, 0x00},
         0,
         {{0, 0x40, 2}, {2, -1, 3}, {5, 0x42, 1}}},
        {"negative offset 0x8000 is -32768",
         {0x31, 0x01, 0x00, 0x90, 0x00, 0x21, 0x01, 0x00, 0x80, 0x00},
         0,
         {{0, 0x9000, 1}, {1, 0x9000 - 32768, 1}}},
        {"starts at a later VCN", {0x11, 0x03, 0x07, 0x00}, 100, {{100, 7, 3}}},
        {"empty", {0x00}, 0, {}},
    };
    for (const RunCase &c : cases) {
        auto got = decode_runs(c.mp.data(), c.mp.size(), c.lowest_vcn, total);
        ASSERT_EQ(got.size(), c.want.size()) << c.name;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].vcn, c.want[i].vcn) << c.name << " run " << i;
            EXPECT_EQ(got[i].lcn, c.want[i].lcn) << c.name << " run " << i;
            EXPECT_EQ(got[i].length, c.want[i].length) << c.name << " run " << i;
        }
    }
}

TEST(ImgkitRunList, RefusesMalformedOrOutsideRuns) {
    std::vector<std::pair<const char *, std::vector<uint8_t>>> bad = {
        {"length field size 0", {0x10, 0x05, 0x00}},
        {"length field size 9", {0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}},
        {"fields run past the end", {0x31, 0x05, 0x01}},
        {"zero length", {0x11, 0x00, 0x05, 0x00}},
        {"negative length", {0x11, 0xF0, 0x05, 0x00}},
        {"before cluster 0", {0x11, 0x01, 0xF0, 0x00}},
        {"past the volume end", {0x21, 0x10, 0xFF, 0x0F, 0x00}},
    };
    for (auto &[name, mp] : bad) EXPECT_THROW(decode_runs(mp.data(), mp.size(), 0, 4096), Error) << name;
}

TEST(ImgkitRunList, FragmentRule) {
    struct Case {
        const char *name;
        std::vector<detail::Run> runs;
        uint64_t want;
    };
    std::vector<Case> cases = {
        {"nothing", {}, 0},
        {"only a hole", {{0, -1, 8}}, 0},
        {"one run", {{0, 10, 4}}, 1},
        {"adjacent runs are one fragment", {{0, 10, 4}, {4, 14, 2}}, 1},
        {"a gap makes two", {{0, 10, 4}, {4, 15, 2}}, 2},
        {"a hole between adjacent runs does not split", {{0, 10, 4}, {4, -1, 3}, {7, 14, 1}}, 1},
        {"a hole does not count", {{0, 10, 4}, {4, -1, 3}, {7, 40, 1}}, 2},
        {"backwards is a new fragment", {{0, 50, 2}, {2, 10, 2}}, 2},
        {"a run at cluster 0 is a fragment", {{0, 0, 3}}, 1},
    };
    for (auto &c : cases) EXPECT_EQ(count_fragments(c.runs), c.want) << c.name;
}

ProcResult output(int code, const std::string &text) {
    ProcResult r;
    r.started = true;
    r.exit_code = code;
    r.output = text;
    return r;
}

const char *kResizeHead =
    "ntfsresize v2022.10.3 (libntfs-3g)\nDevice name        : x.img\nNTFS volume version: 3.1\n"
    "Cluster size       : 4096 bytes\nChecking filesystem consistency ...\nAccounting clusters ...\n";

TEST(ImgkitJudge, Ntfsresize) {
    auto clean = judge_ntfsresize(output(0, std::string(kResizeHead) + "Space in use       : 3 MB (4.1%)\n"
                                                                       "Collecting resizing constraints ...\n"));
    EXPECT_EQ(clean.kind, Verdict::clean);

    // Exit 1 for a resize limit only says nothing about consistency.
    auto rare = judge_ntfsresize(output(
        1, std::string(kResizeHead) + "Space in use       : 3 MB (4.1%)\n"
                                      "Collecting resizing constraints ...\n"
                                      "Very rare fragmentation type detected. Sorry, it's not supported yet.\n"));
    EXPECT_EQ(rare.kind, Verdict::clean);

    auto lost = judge_ntfsresize(
        output(1, std::string(kResizeHead) + "Cluster accounting failed at 16379 (0x3ffb): extra cluster in $Bitmap\n"
                                             "Cluster accounting failed at 16380 (0x3ffc): extra cluster in $Bitmap\n"
                                             "Filesystem check failed! Totally 2 cluster accounting mismatches.\n"
                                             "NTFS is inconsistent. Run chkdsk /f on Windows then reboot it TWICE!\n"));
    EXPECT_EQ(lost.kind, Verdict::lost);
    EXPECT_EQ(lost.lost_clusters, 2u);
    EXPECT_NE(lost.reason.find("16379"), std::string::npos);

    // One missing cluster among extra ones is a fault, whatever comes first.
    auto missing = judge_ntfsresize(
        output(1, std::string(kResizeHead) + "Cluster accounting failed at 100 (0x64): extra cluster in $Bitmap\n"
                                             "Cluster accounting failed at 2158 (0x86e): missing cluster in $Bitmap\n"
                                             "Filesystem check failed! Totally 2 cluster accounting mismatches.\n"));
    EXPECT_EQ(missing.kind, Verdict::fault);
    EXPECT_NE(missing.reason.find("missing from $Bitmap (first at 2158)"), std::string::npos) << missing.reason;

    auto twice = judge_ntfsresize(
        output(1, "Checking filesystem consistency ...\nCluster 77 is referenced multiple times!\n"
                  "ERROR: Filesystem check failed!\nERROR: 1 clusters are referenced multiple times.\n"));
    EXPECT_EQ(twice.kind, Verdict::fault);
    auto outside = judge_ntfsresize(output(1, "Outside of the volume reference for inode 70 at 99999:5\n"));
    EXPECT_EQ(outside.kind, Verdict::fault);
    auto refused =
        judge_ntfsresize(output(1, "ERROR(5): Opening 'x.img' as NTFS failed: Input/output error\n"
                                   "NTFS is inconsistent. Run chkdsk /f on Windows then reboot it TWICE!\n"));
    EXPECT_EQ(refused.kind, Verdict::fault);
    auto mirror = judge_ntfsresize(output(1, "$MFTMirr does not match $MFT (record 2).\n"
                                             "NTFS is inconsistent. Run chkdsk /f on Windows then reboot it TWICE!\n"));
    EXPECT_EQ(mirror.kind, Verdict::fault);
    auto early = judge_ntfsresize(output(1, "Usage: ntfsresize ...\n"));
    EXPECT_EQ(early.kind, Verdict::tool_error);
    ProcResult never;
    EXPECT_EQ(judge_ntfsresize(never).kind, Verdict::tool_error);
    ProcResult crash = output(-1, "");
    crash.signal = 11;
    EXPECT_EQ(judge_ntfsresize(crash).kind, Verdict::fault);
}

TEST(ImgkitJudge, ProbeAndNtfsfix) {
    EXPECT_EQ(judge_probe(output(0, "")).kind, Verdict::clean);
    auto corrupt = judge_probe(output(13, "$MFTMirr does not match $MFT (record 2).\n"));
    EXPECT_EQ(corrupt.kind, Verdict::fault);
    EXPECT_NE(corrupt.reason.find("$MFTMirr"), std::string::npos);
    EXPECT_EQ(judge_probe(output(12, "not NTFS")).kind, Verdict::fault);
    EXPECT_EQ(judge_probe(output(21, "fuse")).kind, Verdict::tool_error);

    EXPECT_EQ(judge_ntfsfix(output(0, "Mounting volume... OK\nNTFS partition x was processed successfully.\n")).kind,
              Verdict::clean);
    auto fix = judge_ntfsfix(output(1, "Mounting volume... FAILED\nAttempting to correct errors... \n"
                                       "Comparing $MFTMirr to $MFT... FAILED\n"));
    EXPECT_EQ(fix.kind, Verdict::fault);
    EXPECT_NE(fix.reason.find("Comparing $MFTMirr"), std::string::npos) << fix.reason;
}

TEST(ImgkitJudge, FsckFat) {
    const char *head = "fsck.fat 4.2 (2021-01-31)\n";
    const char *tail = "\nLeaving filesystem unchanged.\nf.img: 8 files, 165/129022 clusters\n";
    EXPECT_EQ(judge_fsck_fat(output(0, std::string(head) + "f.img: 8 files, 165/129022 clusters\n"), true).kind,
              Verdict::clean);

    auto lost =
        judge_fsck_fat(output(1, std::string(head) + "Reclaimed 3 unused clusters (1536 bytes).\n" + tail), true);
    EXPECT_EQ(lost.kind, Verdict::lost);
    EXPECT_EQ(lost.lost_clusters, 3u);

    // A summary that differs only because fsck would reclaim clusters.
    auto lost2 = judge_fsck_fat(output(1, std::string(head) +
                                              "Reclaimed 1 unused cluster (512 bytes).\n"
                                              "Free cluster summary wrong (100 vs. really 101)\n  Auto-correcting.\n" +
                                              tail),
                                true);
    EXPECT_EQ(lost2.kind, Verdict::lost);
    // A summary that disagrees with the FAT itself is a fault.
    auto summary = judge_fsck_fat(output(1, std::string(head) +
                                                "Free cluster summary wrong (90 vs. really 101)\n"
                                                "  Auto-correcting.\n" +
                                                tail),
                                  false);
    EXPECT_EQ(summary.kind, Verdict::fault);

    auto cleared =
        judge_fsck_fat(output(1, std::string(head) +
                                     "/BIG2\n  Contains a free cluster (6). Assuming EOF.\n"
                                     "/BIG2\n  File size is 40000 bytes, cluster chain length is 512 bytes.\n"
                                     "  Truncating file to 512 bytes.\nReclaimed 77 unused clusters (39424 bytes).\n" +
                                     tail),
                       false);
    EXPECT_EQ(cleared.kind, Verdict::fault);
    EXPECT_NE(cleared.reason.find("/BIG2: Contains a free cluster (6)"), std::string::npos) << cleared.reason;

    auto dirty = judge_fsck_fat(
        output(0, std::string(head) + "Dirty bit is set. Fs was not properly unmounted and some data may be corrupt.\n"
                                      "f.img: 8 files, 165/129022 clusters\n"),
        true);
    EXPECT_EQ(dirty.kind, Verdict::clean);
    EXPECT_TRUE(dirty.dirty);
    EXPECT_EQ(judge_fsck_fat(output(2, "fsck.fat: unknown option\n"), true).kind, Verdict::tool_error);
}

TEST(ImgkitNames, ShortAliases) {
    std::set<std::string> taken;
    EXPECT_EQ(short_alias("Quarterly Report 2003.doc", taken), "QUARTE~1.DOC");
    EXPECT_EQ(short_alias("Quarterly Summary.doc", taken), "QUARTE~2.DOC");
    EXPECT_EQ(short_alias("...", taken), "FILE~1");
    EXPECT_TRUE(is_short_name("README.TXT"));
    EXPECT_TRUE(is_short_name("A1"));
    EXPECT_FALSE(is_short_name("readme.txt"));
    EXPECT_FALSE(is_short_name("TOOLONGNAME.TXT"));
    EXPECT_FALSE(is_short_name("A.B.C"));
    NameSet s;
    EXPECT_TRUE(s.add("Report.doc"));
    EXPECT_FALSE(s.add("REPORT.DOC"));  // both file systems ignore case
}

TEST(ImgkitNames, Utf16RoundTrip) {
    std::string s = "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    std::u16string u = utf8_to_utf16(s);
    EXPECT_EQ(u.size(), 9u);  // the last character needs a surrogate pair
    EXPECT_EQ(utf16_to_utf8(u), s);
    EXPECT_THROW(utf8_to_utf16("\xC3"), Error);
    EXPECT_THROW(utf8_to_utf16("\xFF"), Error);
}

}  // namespace
