// The move engine's pure logic, without a volume: the mapping-pairs
// encoder (named cases and a round trip through the engine's own decoder),
// the in-record rewrite of a run list, the marking of the in-memory bitmap,
// the move line on the screen, and the refusals that must come before any
// disk I/O.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "move_support.h"

using namespace ntfstest;

namespace {

class MoveUnit : public testing::Test {
protected:
    void SetUp() override {
        ResetEngine();
        memset(glFileStats, 0, sizeof(glFileStats));
        cProgress[0] = 0;
    }
    void TearDown() override {
        movetest::ReleaseMoveBuffers();
        ResetEngine();
        cProgress[0] = 0;
    }
};

std::string Hex(const BYTE *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        s += b;
    }
    return s;
}

EXTENT_LIST Extent(LONGLONG lcn, LONGLONG clusters) {
    EXTENT_LIST e;
    memset(&e, 0, sizeof e);
    e.StartingLcn = lcn;
    e.SourceLcn = lcn;
    e.ClusterCount = clusters;
    return e;
}

std::string Encode(const std::vector<EXTENT_LIST> &runs, LONGLONG capacity = 256, BOOL *ok = nullptr) {
    BYTE out[256];
    memset(out, 0xEE, sizeof out);
    LONGLONG length = -1;
    BOOL result = EncodeMappingPairs(runs.data(), (LONGLONG)runs.size(), out, capacity, &length);
    if (ok) *ok = result;
    return result ? Hex(out, (size_t)length) : "refused";
}

// ------------------------------------------------------- mapping pairs

TEST_F(MoveUnit, FieldSizesTakeTheFewestBytesThatKeepTheSign) {
    struct Case {
        const char *name;
        LONGLONG value;
        ULONG bytes;
    } cases[] = {
        {"zero still takes a byte", 0, 1},
        {"one", 1, 1},
        {"largest positive byte", 0x7F, 1},
        {"high bit needs a zero byte", 0x80, 2},
        {"0xFF needs a zero byte", 0xFF, 2},
        {"two bytes", 0x7FFF, 2},
        {"two bytes and a sign byte", 0x8000, 3},
        {"1,000 clusters", 1000, 2},
        {"LCN 0x12345", 0x12345, 3},
        {"minus one", -1, 1},
        {"minus 128", -128, 1},
        {"minus 129 needs a sign byte", -129, 2},
        {"minus 32,768", -32768, 2},
        {"minus 32,769", -32769, 3},
        {"largest value", INT64_MAX, 8},
        {"smallest value", INT64_MIN, 8},
        {"seven bytes and a sign byte", 0x0080000000000000LL, 8},
    };
    for (const Case &c : cases) EXPECT_EQ(MappingPairsFieldBytes(c.value), c.bytes) << c.name;
}

TEST_F(MoveUnit, RunListsEncodeAsNtfsReadsThem) {
    struct Case {
        const char *name;
        std::vector<EXTENT_LIST> runs;
        const char *bytes;
    } cases[] = {
        {"one run of 1,000 clusters at 0x12345", {Extent(0x12345, 1000)}, "32 E8 03 45 23 01 00"},
        {"a run before the previous one", {Extent(0x1000, 0x10), Extent(0x800, 0x20)}, "21 10 00 10 21 20 00 F8 00"},
        {"runs without disk space have no offset, and the first data run is still at its LCN",
         {Extent(-1, 16), Extent(0x500, 4), Extent(-1, 12), Extent(0x504, 16)},
         "01 10 21 04 00 05 01 0C 11 10 04 00"},
        {"a length with its high bit set takes a zero byte", {Extent(0x20, 0x80)}, "12 80 00 20 00"},
        {"a positive offset with its high bit set takes a zero byte", {Extent(0x80, 1)}, "21 01 80 00 00"},
        {"a negative offset whose top byte lost its sign takes 0xFF",
         {Extent(0x200, 1), Extent(0x17F, 1)},
         "21 01 00 02 21 01 7F FF 00"},
        {"a far LCN and a long run", {Extent(0x123456789ALL, 0x10000)}, "53 00 00 01 9A 78 56 34 12 00"},
        {"LCN 0 is an offset of one zero byte, not a hole", {Extent(0, 8)}, "11 08 00 00"},
    };
    for (const Case &c : cases) EXPECT_EQ(Encode(c.runs), c.bytes) << c.name;
}

TEST_F(MoveUnit, EncoderRefusesWhatCannotBeWritten) {
    BOOL ok = TRUE;
    EXPECT_EQ(Encode({Extent(0x12345, 1000)}, 6, &ok), "refused") << "no room for the terminator";
    EXPECT_FALSE(ok);
    EXPECT_EQ(Encode({Extent(0x12345, 1000)}, 7, &ok), "32 E8 03 45 23 01 00");
    EXPECT_EQ(Encode({Extent(0x10, 0)}, 64, &ok), "refused") << "a run of no clusters";
    EXPECT_EQ(Encode({Extent(0x10, -3)}, 64, &ok), "refused") << "a negative length";
}

TEST_F(MoveUnit, EncodedRunsDecodeBackThroughTheReadSide) {
    VolData.TotalClusters = 1LL << 40;
    std::mt19937_64 rng(20240607);
    for (int round = 0; round < 300; round++) {
        std::vector<EXTENT_LIST> runs;
        LONGLONG lcn = 0;
        int n = 1 + (int)(rng() % 40);
        for (int i = 0; i < n; i++) {
            LONGLONG length = 1 + (LONGLONG)(rng() % (rng() % 4 == 0 ? 0x1000000 : 300));
            if (rng() % 5 == 0) {
                runs.push_back(Extent(-1, length));
                continue;
            }
            LONGLONG span = (LONGLONG)(rng() % 3 == 0 ? 0x100000000LL : 0x10000);
            LONGLONG next = lcn + (LONGLONG)(rng() % (2 * span)) - span;
            if (next < 0) next = (LONGLONG)(rng() % span);
            runs.push_back(Extent(next, length));
            lcn = next;
        }
        BYTE pairs[1024];
        LONGLONG length = 0;
        ASSERT_TRUE(EncodeMappingPairs(runs.data(), (LONGLONG)runs.size(), pairs, sizeof pairs, &length));
        RecordBuilder b(0x0001, 4096);
        b.StandardInformation();
        size_t at = b.NonResident(0x80, std::vector<uint8_t>(pairs, pairs + length - 1), 0);
        std::vector<uint8_t> record = b.FinishPlain();
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)&record[at];
        LONGLONG covered = 0, clusters = 0;
        ASSERT_EQ(GetExtentCount(a, &covered, LLONG_MAX, &clusters), (LONGLONG)runs.size()) << round;
        std::vector<EXTENT_LIST> back(runs.size() + 1);
        LONGLONG index = 0, next = 0, fragments = 0;
        covered = 0;
        AddToExtentList(a, back.data(), (LONGLONG)runs.size(), &index, &next, &covered, LLONG_MAX, &fragments);
        ASSERT_EQ(index, (LONGLONG)runs.size());
        for (size_t i = 0; i < runs.size(); i++) {
            EXPECT_EQ(back[i].StartingLcn, runs[i].StartingLcn < 0 ? -1 : runs[i].StartingLcn) << round << "/" << i;
            EXPECT_EQ(back[i].ClusterCount, runs[i].ClusterCount) << round << "/" << i;
        }
    }
}

// -------------------------------------------------- rewriting in a record

// A record holding $STANDARD_INFORMATION, $FILE_NAME, a $DATA of the given
// pairs and a resident attribute after it; offsets of the $DATA and of the
// attribute after it.
struct SampleRecord {
    std::vector<uint8_t> bytes;
    size_t data = 0, after = 0;
};

SampleRecord MakeRecord(const std::vector<uint8_t> &pairs, size_t size = 1024) {
    RecordBuilder b(0x0001, size);
    b.StandardInformation();
    b.FileName(5, 1, u"seven runs.dat");
    SampleRecord r;
    r.data = b.NonResident(0x80, pairs, 0x100000);
    std::vector<uint8_t> value(40);
    for (size_t i = 0; i < value.size(); i++) value[i] = (uint8_t)(0xC0 + i);
    r.after = b.Resident(0x100, value, u"$TXF");
    r.bytes = b.FinishPlain();
    return r;
}

std::vector<uint8_t> SevenRunPairs() {
    std::vector<EXTENT_LIST> runs = {Extent(0x100, 3),  Extent(0x200, 5),  Extent(0x180, 2), Extent(0x400, 9),
                                     Extent(0x2000, 1), Extent(0x1F00, 4), Extent(0x3000, 6)};
    BYTE pairs[256];
    LONGLONG length = 0;
    EXPECT_TRUE(EncodeMappingPairs(runs.data(), 7, pairs, sizeof pairs, &length));
    return std::vector<uint8_t>(pairs, pairs + length - 1);
}

TEST_F(MoveUnit, OneRunReplacesSevenAndTheFollowingAttributesMoveUp) {
    SampleRecord r = MakeRecord(SevenRunPairs());
    std::vector<uint8_t> &rec = r.bytes;
    PFILE_RECORD_SEGMENT_HEADER frs = Frs(rec);
    PATTRIBUTE_RECORD_HEADER data = (PATTRIBUTE_RECORD_HEADER)&rec[r.data];
    ULONG oldLength = data->RecordLength, oldFree = frs->FirstFreeByte;
    std::vector<uint8_t> afterBytes(rec.begin() + r.after, rec.begin() + oldFree);
    EXTENT_LIST single = Extent(0x12345, 30);
    ASSERT_TRUE(ReplaceMappingPairs(frs, data, &single, 1));

    ULONG pairsOffset = data->Form.Nonresident.MappingPairsOffset;
    EXPECT_EQ(data->RecordLength % 8, 0u);
    EXPECT_EQ(data->RecordLength, (pairsOffset + 6 + 7) / 8 * 8);
    EXPECT_LT(data->RecordLength, oldLength);
    EXPECT_EQ(Hex(&rec[r.data + pairsOffset], 6), "31 1E 45 23 01 00");
    // The attribute after it and the end marker, moved up whole.
    size_t moved = r.data + data->RecordLength;
    EXPECT_EQ(std::vector<uint8_t>(rec.begin() + moved, rec.begin() + moved + afterBytes.size()), afterBytes);
    EXPECT_EQ(frs->FirstFreeByte, oldFree - (oldLength - data->RecordLength));
    for (size_t i = frs->FirstFreeByte; i < oldFree; i++) EXPECT_EQ(rec[i], 0) << "stale byte at " << i;
    PATTRIBUTE_RECORD_HEADER found = nullptr;
    ULONG position = 0;
    ASSERT_TRUE(FindAttribute(0x100, frs, &found, 1024, &position));
    EXPECT_EQ((size_t)((BYTE *)found - rec.data()), moved);
    EXPECT_EQ(position, 3u);
}

TEST_F(MoveUnit, LongerRunListsPushTheFollowingAttributesDown) {
    SampleRecord r = MakeRecord({0x11, 0x05, 0x20});
    std::vector<uint8_t> &rec = r.bytes;
    PFILE_RECORD_SEGMENT_HEADER frs = Frs(rec);
    PATTRIBUTE_RECORD_HEADER data = (PATTRIBUTE_RECORD_HEADER)&rec[r.data];
    std::vector<uint8_t> afterBytes(rec.begin() + r.after, rec.begin() + frs->FirstFreeByte);
    std::vector<EXTENT_LIST> runs;
    for (int i = 0; i < 60; i++) runs.push_back(i % 3 == 2 ? Extent(-1, 16) : Extent(0x40000 + 100 * i, 7));
    ASSERT_TRUE(ReplaceMappingPairs(frs, data, runs.data(), (LONGLONG)runs.size()));
    size_t moved = r.data + data->RecordLength;
    EXPECT_EQ(std::vector<uint8_t>(rec.begin() + moved, rec.begin() + moved + afterBytes.size()), afterBytes);
    EXPECT_EQ(frs->FirstFreeByte, moved + afterBytes.size());
    LONGLONG covered = 0, clusters = 0;
    VolData.TotalClusters = 1 << 30;
    EXPECT_EQ(GetExtentCount(data, &covered, LLONG_MAX, &clusters), 60);
    EXPECT_EQ(clusters, 40 * 7);
}

TEST_F(MoveUnit, RunListsThatDoNotFitLeaveTheRecordUnchanged) {
    SampleRecord r = MakeRecord(SevenRunPairs());
    std::vector<uint8_t> before = r.bytes;
    PFILE_RECORD_SEGMENT_HEADER frs = Frs(r.bytes);
    std::vector<EXTENT_LIST> runs;
    for (int i = 0; i < 200; i++) runs.push_back(Extent((LONGLONG)(i % 2 ? 0x700000000LL : 0x10) + i, 0x123456));
    BOOL ok = TRUE;
    std::string s;
    bScreenLog = TRUE;
    s = Screen([&] { ok = ReplaceMappingPairs(frs, (PATTRIBUTE_RECORD_HEADER)&r.bytes[r.data], runs.data(), 200); });
    bScreenLog = FALSE;
    EXPECT_FALSE(ok);
    EXPECT_NE(s.find("Error #0 at line"), std::string::npos) << s;
    EXPECT_EQ(r.bytes, before);

    // A record that claims less room than its size: the claim is the limit.
    std::vector<EXTENT_LIST> twenty;
    for (int i = 0; i < 20; i++) twenty.push_back(Extent(i % 2 ? 0x700000000LL + i : 0x10 + i, 0x10000 + i));
    std::vector<uint8_t> roomy = r.bytes;
    ASSERT_TRUE(ReplaceMappingPairs(Frs(roomy), (PATTRIBUTE_RECORD_HEADER)&roomy[r.data], twenty.data(), 20))
        << "fits in the record's size";
    frs->BytesAvailable = frs->FirstFreeByte + 8;
    before = r.bytes;
    Screen([&] { ok = ReplaceMappingPairs(frs, (PATTRIBUTE_RECORD_HEADER)&r.bytes[r.data], twenty.data(), 20); });
    EXPECT_FALSE(ok) << "but not in the room the record claims";
    EXPECT_EQ(r.bytes, before);
}

TEST_F(MoveUnit, ResidentOrForeignAttributesAreNotRewritten) {
    SampleRecord r = MakeRecord(SevenRunPairs());
    std::vector<uint8_t> before = r.bytes;
    EXTENT_LIST single = Extent(0x10, 1);
    BOOL ok = TRUE;
    Screen([&] { ok = ReplaceMappingPairs(Frs(r.bytes), (PATTRIBUTE_RECORD_HEADER)&r.bytes[r.after], &single, 1); });
    EXPECT_FALSE(ok) << "resident";
    std::vector<uint8_t> other = r.bytes;
    Screen([&] { ok = ReplaceMappingPairs(Frs(r.bytes), (PATTRIBUTE_RECORD_HEADER)&other[r.data], &single, 1); });
    EXPECT_FALSE(ok) << "an attribute outside the record";
    EXPECT_EQ(r.bytes, before);
}

TEST_F(MoveUnit, NameAfterTheMappingPairsIsNeverWrittenOver) {
    RecordBuilder b;
    b.StandardInformation();
    size_t data = b.NonResident(0x80, {0x11, 0x05, 0x20}, 0x100000);  // pairs at 0x40, 0x48 bytes long
    std::vector<uint8_t> rec = b.FinishPlain();
    rec[data + 9] = 2;  // a name of 2 characters in the attribute's last 4 bytes
    Put16(rec, data + 0x0A, 0x44);
    memcpy(&rec[data + 0x44], u"ab", 4);
    std::vector<uint8_t> before = rec;
    std::vector<EXTENT_LIST> runs = {Extent(0x12345, 3), Extent(0x54321, 4)};
    BOOL ok = TRUE;
    Screen([&] { ok = ReplaceMappingPairs(Frs(rec), (PATTRIBUTE_RECORD_HEADER)&rec[data], runs.data(), 2); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(rec, before);
}

// ----------------------------------------------------------- bitmap marks

class MoveMarks : public MoveUnit {
protected:
    void SetUp() override {
        MoveUnit::SetUp();
        VolData.TotalClusters = 1000;
        VolData.BitmapSizeBits = 0;
        ASSERT_TRUE(movetest::AllocateMoveBuffers());
    }
    static void SetBitsAll(const std::vector<EXTENT_LIST> &list) {
        for (const EXTENT_LIST &e : list)
            if (e.SourceLcn >= 0) movetest::SetBits(e.SourceLcn, e.ClusterCount, true);
    }
    std::string Bits(LONGLONG first, LONGLONG count) {
        std::string s;
        for (LONGLONG c = first; c < first + count; c++) s += movetest::BitSet(c) ? '1' : '0';
        return s;
    }
};

TEST_F(MoveMarks, MarkingSetsAndClearsUpToTheFirstClusterInTheWrongState) {
    EXPECT_TRUE(movetest::BitSet(1000)) << "clusters past the volume stay in use";
    EXPECT_TRUE(MarkDestAllocated(10, 5));
    EXPECT_EQ(Bits(8, 9), "001111100");
    EXPECT_FALSE(MarkDestAllocated(5, 10)) << "cluster 10 is in use";
    EXPECT_EQ(Bits(4, 12), "011111111110") << "the clusters before it keep their new state";
    EXPECT_TRUE(MarkDestUnallocated(12, 3));
    EXPECT_EQ(Bits(10, 6), "110000");
    EXPECT_FALSE(MarkDestUnallocated(8, 6));
    EXPECT_EQ(Bits(4, 12), "011100000000");
    EXPECT_TRUE(MarkDestAllocated(-1, 40)) << "a run without disk space";
    EXPECT_TRUE(MarkDestUnallocated(-1, 40));
    EXPECT_EQ(Bits(0, 20), "00000111000000000000");
    EXPECT_TRUE(MarkDestAllocated(990, 10)) << "up to the last cluster";
    EXPECT_TRUE(MarkDestUnallocated(990, 10));
}

TEST_F(MoveMarks, RangesOutsideTheVolumeAreReportedAndChangeNothing) {
    struct Case {
        const char *name;
        LONGLONG lcn, clusters;
    } cases[] = {{"past the end", 995, 10}, {"starting past the end", 1001, 1}, {"negative count", 5, -2}};
    for (const Case &c : cases) {
        BOOL set = TRUE, cleared = TRUE;
        bScreenLog = TRUE;
        std::string s = Screen([&] {
            set = MarkDestAllocated(c.lcn, c.clusters);
            cleared = MarkDestUnallocated(c.lcn, c.clusters);
        });
        bScreenLog = FALSE;
        EXPECT_FALSE(set) << c.name;
        EXPECT_FALSE(cleared) << c.name;
        EXPECT_NE(s.find("Error #0 at line"), std::string::npos) << c.name;
        EXPECT_EQ(Bits(990, 10), "0000000000") << c.name;
        EXPECT_EQ(Bits(0, 10), "0000000000") << c.name;
    }
}

TEST_F(MoveMarks, FileRunsAreFreedFromTheirSourceAndHolesAreSkipped) {
    std::vector<EXTENT_LIST> list = {Extent(100, 4), Extent(-1, 8), Extent(200, 2), Extent(300, 1)};
    list[0].StartingLcn = 500;  // already moved: the source is what is freed
    SetBitsAll(list);
    EXPECT_TRUE(MarkFileUnallocated(list.data(), 4, 0, 2));
    EXPECT_EQ(Bits(100, 4) + Bits(200, 2) + Bits(300, 1), "0000001");
    EXPECT_EQ(Bits(500, 4), "0000") << "the new place is not touched";
    EXPECT_TRUE(MarkFileUnallocated(nullptr, 0, 0, 0)) << "no entries";
    BOOL ok = TRUE;
    bScreenLog = TRUE;
    std::string s = Screen([&] { ok = MarkFileUnallocated(list.data(), 4, 2, 3); });
    bScreenLog = FALSE;
    EXPECT_FALSE(ok) << "cluster 200 is free already";
    EXPECT_NE(s.find("Error #0 at line"), std::string::npos);
    EXPECT_EQ(Bits(300, 1), "1") << "the entries after the refusal keep their clusters";
}

// ------------------------------------------------------------ move line

struct LineCase {
    const char *name;
    const char16_t *progress;
    BOOL fragmented, compressed, directory;
    LONGLONG frn, destination, clusters;
    std::vector<EXTENT_LIST> runs;
    const char *text;  // what precedes the padding
    const char *ending;
};

std::string ExpectedLine(const char *text, const char *ending) {
    std::string line = std::string("\r") + text;
    line += std::string(86, ' ');
    return line.substr(0, 76) + ending;
}

TEST_F(MoveUnit, MoveLineIsPaddedCutAndPointsTheWayTheFileMoves) {
    LineCase cases[] = {
        {"fragmented compressed file moved up",
         u"",
         TRUE,
         TRUE,
         FALSE,
         291,
         0x12345,
         1000,
         {Extent(0x100, 400), Extent(0x20000, 600)},
         "Defragmenting compressed data file (00000291) to LCN 0x00012345 for 1000 Clusters",
         " >>"},
        {"contiguous directory moved toward the front",
         u"",
         FALSE,
         FALSE,
         TRUE,
         40,
         0x10,
         3,
         {Extent(0x500, 3)},
         "Moving directory file (00000040) to LCN 0x00000010 for 3 Clusters",
         " <<"},
        {"destination at the file's first extent",
         u"",
         FALSE,
         FALSE,
         FALSE,
         17,
         0x500,
         3,
         {Extent(0x500, 3)},
         "Moving data file (00000017) to LCN 0x00000500 for 3 Clusters",
         " >>"},
        {"progress prefix and 64-bit values cut to 32 bits",
         u"\r[42%] ",
         TRUE,
         FALSE,
         FALSE,
         0x100000007LL,
         0x2000000ABLL,
         0x100000005LL,
         {Extent(0x3000000000LL, 5)},
         "\r[42%] Defragmenting data file (00000007) to LCN 0x000000ab for 5 Clusters",
         " <<"},
        {"a first run without disk space does not count",
         u"",
         TRUE,
         TRUE,
         FALSE,
         99,
         0x300,
         20,
         {Extent(-1, 16), Extent(0x400, 20)},
         "Defragmenting compressed data file (00000099) to LCN 0x00000300 for 20 Clusters",
         " <<"},
        {"a line longer than 76 characters is cut",
         u"\r[ 7%] Stage five pass eight ",
         TRUE,
         TRUE,
         TRUE,
         123456,
         0xFEDCBA98LL,
         77777,
         {Extent(0x10, 1)},
         "\r[ 7%] Stage five pass eight Defragmenting compressed directory file (00123456) to LCN 0xfedcba98 for "
         "77777 Clusters",
         " >>"},
    };
    for (const LineCase &c : cases) {
        std::vector<EXTENT_LIST> runs = c.runs;
        runs.push_back(Extent(0, 0));
        VolData.pExtentList = runs.data();
        VolData.NumberOfExtents = (LONGLONG)c.runs.size();
        VolData.ExtentListBytes = 0;  // refused right after the line
        VolData.bFragmented = c.fragmented;
        VolData.bCompressed = c.compressed;
        VolData.bDirectory = c.directory;
        VolData.FileRecordNumber = c.frn;
        VolData.NumberOfClusters = c.clusters;
        wcscpy(cProgress, (const WCHAR *)c.progress);
        std::string screen = Screen([&] { EXPECT_FALSE(NTFSMoveFile(c.destination)); });
        VolData.pExtentList = nullptr;
        std::string expected = ExpectedLine(c.text, c.ending);
        EXPECT_EQ(screen, expected) << c.name;
        EXPECT_EQ(expected.size(), 79u) << c.name;
    }
}

// ------------------------------------------- refusals before any disk I/O

class MoveRefusals : public MoveUnit {
protected:
    void SetUp() override {
        MoveUnit::SetUp();
        VolData.TotalClusters = 10000;
        VolData.BitmapSizeBits = 0;
        ASSERT_TRUE(movetest::AllocateMoveBuffers());
        list_ = {Extent(100, 4), Extent(200, 6), Extent(300, 2), Extent(0, 0)};
        for (auto &e : list_) e.FileRecord = 70;
        VolData.pExtentList = list_.data();
        VolData.NumberOfExtents = 3;
        VolData.ExtentListBytes = (LONGLONG)(list_.size() * sizeof(EXTENT_LIST));
        VolData.NumberOfClusters = 12;
        VolData.FileRecordNumber = 70;
        VolData.bNonResident = TRUE;
        VolData.AttributeRecordCount = 1;
    }
    void TearDown() override {
        VolData.pExtentList = nullptr;
        MoveUnit::TearDown();
    }
    // Runs the move; it must fail with the error report before reading the
    // bitmap (the first I/O of a move) and change nothing.
    void ExpectRefused(LONGLONG destination, const char *name) {
        std::vector<EXTENT_LIST> before(list_.begin(), list_.begin() + 3);
        lLogLevel = 9;
        bScreenLog = TRUE;
        BOOL ok = TRUE;
        std::string s = Screen([&] { ok = NTFSMoveFile(destination); });
        lLogLevel = 0;
        bScreenLog = FALSE;
        EXPECT_FALSE(ok) << name;
        EXPECT_NE(s.find("Error #0 at line"), std::string::npos) << name << ": " << s;
        EXPECT_EQ(s.find("->DirectReadVolumeBitmap"), std::string::npos) << name << ": " << s;
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(list_[i].StartingLcn, before[i].StartingLcn) << name;
            EXPECT_EQ(list_[i].FileRecord, before[i].FileRecord) << name;
        }
        for (LONGLONG v : glFileStats) EXPECT_EQ(v, 0) << name;
    }
    std::vector<EXTENT_LIST> list_;
};

TEST_F(MoveRefusals, DestinationOverlappingTheFileItself) { ExpectRefused(95, "overlap"); }

TEST_F(MoveRefusals, DestinationRunningPastTheVolume) { ExpectRefused(9990, "past the end"); }

TEST_F(MoveRefusals, AListWhoseRunsAlreadyMoved) {
    list_[1].StartingLcn = 5000;
    ExpectRefused(1000, "already moved");
}

TEST_F(MoveRefusals, NoRoomForTheEndMarker) {
    VolData.ExtentListBytes = 3 * sizeof(EXTENT_LIST);
    ExpectRefused(1000, "end marker");
}

TEST_F(MoveRefusals, ClusterCountThatDoesNotMatchTheRuns) {
    VolData.NumberOfClusters = 10;
    ExpectRefused(1000, "cluster count");
}

TEST_F(MoveRefusals, OneRecordsRunsInTwoPlacesOfTheList) {
    VolData.bNonResident = FALSE;
    VolData.bHugeFile = TRUE;
    VolData.AttributeRecordCount = 3;
    list_[1].FileRecord = 71;
    ExpectRefused(1000, "record 70 twice");
}

TEST_F(MoveRefusals, MorePiecesThanAttributeRecords) {
    VolData.bNonResident = FALSE;
    VolData.bMegaFile = TRUE;
    VolData.AttributeRecordCount = 1;
    list_[2].FileRecord = 71;
    ExpectRefused(1000, "two pieces, one record");
}

// A file with an attribute list: its runs in its base record 70 and in
// record 71, both held in the record cache.
class MoveListRefusals : public MoveRefusals {
protected:
    void SetUp() override {
        MoveRefusals::SetUp();
        VolData.bNonResident = FALSE;
        VolData.bHugeFile = TRUE;
        VolData.AttributeRecordCount = 2;
        list_[1].FileRecord = list_[2].FileRecord = 71;
        for (auto &e : list_) e.AttributeType = 0x80;
        ASSERT_TRUE(AllocateMemory(65536, &VolData.hMftBuffer, (void **)&VolData.pMftBuffer));
        ASSERT_TRUE(AllocateMemory(1024, &VolData.hFileRecord, (void **)&VolData.pFileRecord));
        BYTE *bitmap = nullptr;
        ASSERT_TRUE(AllocateMemory(16, &VolData.hMftBitmap, (void **)&bitmap));
        bitmap[70 / 8] |= 1 << (70 % 8);
        bitmap[71 / 8] |= 1 << (71 % 8);
        GlobalUnlock(VolData.hMftBitmap);
        llMftBitmapBits = 128;
        FileRecordLow = 64;  // records 64..127 in the cache
        FileRecordHi = 128;
        RecordBuilder base;
        base.StandardInformation();
        base.NonResident(0x80, {0x11, 0x04, 0x64}, 12 * 4096);
        Put(70, base.Finish());
    }
    void Put(LONGLONG n, const std::vector<uint8_t> &record) {
        memcpy(VolData.pMftBuffer + (n - 64) * 1024, record.data(), 1024);
    }
    // Record 71 holding the runs of entries 1 and 2 (200+6, 300+2), with
    // this base reference.
    void PutExtension(uint64_t baseReference) {
        RecordBuilder b;
        Put16(b.bytes(), 0x12, 0);
        Put64(b.bytes(), 0x20, baseReference);
        b.NonResident(0x80, {0x21, 0x06, 0xC8, 0x00, 0x11, 0x02, 0x64}, 0, u"", 4);
        Put(71, b.Finish());
    }
};

TEST_F(MoveListRefusals, RecordOfAnotherFileIsRefusedBeforeAnyWrite) {
    for (uint64_t reference : {39ull, 0ull, 70ull | (1ull << 32)}) {
        PutExtension(reference);
        ExpectRefused(1000, ("base reference " + std::to_string(reference)).c_str());
    }
    // The file's own extension (a sequence number above the 48 bits) passes
    // and the move goes on to read the bitmap.
    PutExtension(70 | (3ull << 48));
    lLogLevel = 9;
    bScreenLog = TRUE;
    std::string s = Screen([&] { NTFSMoveFile(1000); });
    EXPECT_NE(s.find("->DirectReadVolumeBitmap"), std::string::npos) << s;
}

TEST_F(MoveListRefusals, RecordOfAnotherFileIsNotRewritten) {
    // The piece of record 71 as copied to 1000..1007; the record write
    // would then take its MFT unit from the record cache and write it
    // (cluster 5017), which fails: there is no volume.
    list_[1].StartingLcn = 1000;
    list_[2].StartingLcn = 1006;
    EXTENT_LIST mft[2] = {Extent(5000, 100), Extent(0, 0)};
    VolData.pMftExtentList = mft;
    VolData.MftExtentCount = 1;
    for (uint64_t reference : {70ull, 39ull}) {
        PutExtension(reference);
        FileRecordLow = 64;  // the record cache holds the piece's record
        FileRecordHi = 128;
        lLogLevel = 9;
        bScreenLog = TRUE;
        BOOL ok = TRUE;
        BOOL written = TRUE;
        std::string s = Screen([&] { ok = UpdateFRS(1000, 8, 71, 1, 2, &written); });
        EXPECT_FALSE(ok) << reference << ": there is no volume to write to";
        EXPECT_EQ(written != FALSE, reference == 70) << reference;
        EXPECT_EQ(s.find("(Rd)FRS from the record cache") != std::string::npos, reference == 70)
            << reference << ": only the file's own record gets as far as the write\n"
            << s;
    }
    VolData.pMftExtentList = nullptr;
}

TEST_F(MoveRefusals, AFileOfNoKnownClass) {
    VolData.bNonResident = FALSE;
    ExpectRefused(1000, "resident");
    BOOL ok = TRUE;
    bScreenLog = TRUE;
    std::string s = Screen([&] { ok = UpdateFRS(1000, 12, 70, 0, 2, nullptr); });
    bScreenLog = FALSE;
    EXPECT_FALSE(ok);
    EXPECT_EQ(s, "") << "the rewriter choice fails without a report";
}

}  // namespace
