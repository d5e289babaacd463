// The record and run-list parsers of the NTFS engine on hand-built records:
// update-sequence protection, attribute lookup, mapping pairs, fragment
// counting, names, the attribute census, and the raw family and path walk
// over an MFT held in the record cache (no disk I/O).
#include <gtest/gtest.h>

#include "ntfs_records.h"

using namespace ntfstest;

namespace {

class NtfsRecords : public testing::Test {
protected:
    void SetUp() override { ResetEngine(); }
    void TearDown() override { ResetEngine(); }
};

// ----------------------------------------------------------- update sequence

std::vector<uint8_t> SampleRecord(size_t size = 1024) {
    RecordBuilder b(0x0001, size);
    b.StandardInformation();
    b.FileName(5, 1, u"sample.txt");
    // Distinct words where the strides end, so that a swap would show.
    for (size_t i = 1; i <= size / 512; i++) Put16(b.bytes(), i * 512 - 2, (uint16_t)(0xA000 + i));
    return b.Finish(0x0007);
}

TEST_F(NtfsRecords, AdjustUsaRestoresEveryStrideAndEncodeUsaProtectsAgain) {
    for (size_t size : {1024u, 4096u}) {
        VolData.BytesPerFRS = (LONGLONG)size;
        std::vector<uint8_t> protectedBytes = SampleRecord(size);
        std::vector<uint8_t> record = protectedBytes;
        ASSERT_TRUE(AdjustUSA(Frs(record))) << size;
        for (size_t i = 1; i <= size / 512; i++) {
            EXPECT_EQ(Get16(record, i * 512 - 2), 0xA000 + i) << "stride " << i;
            EXPECT_EQ(Get16(protectedBytes, i * 512 - 2), 0x0007);
        }
        ASSERT_TRUE(EncodeUSA(Frs(record)));
        EXPECT_EQ(record, protectedBytes) << "the USN is written back unchanged";
    }
}

TEST_F(NtfsRecords, TornRecordFailsNamesTheRecordAndStaysProtected) {
    std::vector<uint8_t> record = SampleRecord();
    Put16(record, 1022, 0x0008);  // the second stride was not written with the first
    std::vector<uint8_t> before = record;
    VolData.FileRecordNumber = 1234;
    BOOL ok = TRUE;
    std::string screen = Screen([&] { ok = AdjustUSA(Frs(record)); });
    EXPECT_FALSE(ok);
    EXPECT_NE(screen.find("AdjustUSA->Bad File Record: 1234 (Usn=7)"), std::string::npos) << screen;
    EXPECT_NE(screen.find("000000: 46494c45"), std::string::npos) << "the record is dumped:\n" << screen;
    EXPECT_NE(screen.find("0003f0: "), std::string::npos) << "the whole record is dumped";
    EXPECT_EQ(record, before) << "no stride is restored when one fails";
}

TEST_F(NtfsRecords, UpdateSequenceHeadersThatDoNotDescribeTheRecordAreRefused) {
    struct Case {
        const char *name;
        uint16_t offset, count;
    } cases[] = {
        {"no entries", 0x30, 0},
        {"too few entries", 0x30, 2},
        {"too many entries", 0x30, 4},
        {"odd offset", 0x31, 3},
        {"array over the stride's last word", 0x1FC, 3},
        {"array past the record", 0xFFFE, 3},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> record = SampleRecord();
        Put16(record, 0x04, c.offset);
        Put16(record, 0x06, c.count);
        std::vector<uint8_t> before = record;
        BOOL adjusted = TRUE, encoded = TRUE;
        Screen([&] {
            adjusted = AdjustUSA(Frs(record));
            encoded = EncodeUSA(Frs(record));
        });
        EXPECT_FALSE(adjusted) << c.name;
        EXPECT_FALSE(encoded) << c.name;
        EXPECT_EQ(record, before) << c.name;
    }
}

// ---------------------------------------------------------- attribute lookup

std::vector<uint8_t> LookupRecord() {
    RecordBuilder b;
    b.StandardInformation();                            // 0
    b.FileName(5, 2, u"LONGNA~1.TXT");                  // 1
    b.FileName(5, 1, u"long name.txt");                 // 2
    b.NonResident(0x80, {0x11, 0x04, 0x20}, 4 * 4096);  // 3
    b.NonResident(0xB0, {0x11, 0x01, 0x30}, 4096);      // 4
    return b.FinishPlain();
}

TEST_F(NtfsRecords, LookupsMatchByTypeAndCountPositionsOverEveryAttribute) {
    std::vector<uint8_t> r = LookupRecord();
    PATTRIBUTE_RECORD_HEADER a = nullptr;
    ULONG position = 99;
    ASSERT_TRUE(FindAttribute(0x30, Frs(r), &a, 1024, &position));
    EXPECT_EQ(position, 1u);
    EXPECT_EQ(a->TypeCode, 0x30u);
    ASSERT_TRUE(FindNextAttribute(0x30, Frs(r), &a, 1024, &position));
    EXPECT_EQ(position, 2u);
    PATTRIBUTE_RECORD_HEADER last = a;
    EXPECT_FALSE(FindNextAttribute(0x30, Frs(r), &a, 1024, &position));
    EXPECT_EQ(a, last) << "a failed FindNextAttribute leaves the attribute as given";
    EXPECT_EQ(position, 2u);

    ASSERT_TRUE(FindAttribute(0xB0, Frs(r), &a, 1024, &position));
    EXPECT_EQ(position, 4u);
    EXPECT_FALSE(FindAttribute(0x40, Frs(r), &a, 1024, &position));
    EXPECT_EQ(a, nullptr);

    ASSERT_TRUE(FindAttributeByIndex(0x80, 3, Frs(r), &a, 1024));
    EXPECT_EQ(a->TypeCode, 0x80u);
    EXPECT_FALSE(FindAttributeByIndex(0x80, 2, Frs(r), &a, 1024));
    EXPECT_EQ(a, nullptr);
    EXPECT_FALSE(FindAttributeByIndex(0x80, 9, Frs(r), &a, 1024));
}

TEST_F(NtfsRecords, DamagedAttributesEndTheWalkWithoutReadingOutside) {
    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &, size_t data)> damage;
    } cases[] = {
        {"length 0", [](auto &r, size_t d) { Put32(r, d + 4, 0); }},
        {"length past the record", [](auto &r, size_t d) { Put32(r, d + 4, 0x1000); }},
        {"length below the header", [](auto &r, size_t d) { Put32(r, d + 4, 0x20); }},
        {"mapping pairs past the attribute", [](auto &r, size_t d) { Put16(r, d + 0x20, 0x400); }},
        {"name past the attribute", [](auto &r, size_t d) { r[d + 9] = 200; }},
        {"name after the mapping pairs",
         [](auto &r, size_t d) {
             r[d + 9] = 2;              // 4 bytes at 0x44, inside the attribute of 0x48
             Put16(r, d + 0x0A, 0x44);  // the pairs start at 0x40
         }},
        {"first attribute past the record", [](auto &r, size_t) { Put16(r, 0x14, 0x3FE); }},
        {"no end marker",
         [](auto &r, size_t d) {
             for (size_t at = d + r[d + 4] + 256 * r[d + 5]; at + 0x20 <= 1024; at += 0x20) {
                 Put32(r, at, 0x100);
                 Put32(r, at + 4, 0x20);
                 r[at + 8] = 0;
                 Put16(r, at + 0x14, 0x18);
             }
         }},
        {"resident value past the attribute",
         [](auto &r, size_t) {
             Put32(r, 0x38 + 0x10, 0x300);  // $STANDARD_INFORMATION's value length
         }},
    };
    for (const Case &c : cases) {
        RecordBuilder b;
        b.StandardInformation();
        size_t data = b.NonResident(0x80, {0x11, 0x04, 0x20}, 4 * 4096);
        std::vector<uint8_t> r = b.FinishPlain();
        c.damage(r, data);
        PATTRIBUTE_RECORD_HEADER a = nullptr;
        ULONG position = 0;
        if (strcmp(c.name, "no end marker") != 0) {  // there the damage lies after the data
            EXPECT_FALSE(FindAttribute(0x80, Frs(r), &a, 1024, &position)) << c.name;
        }
        EXPECT_FALSE(FindAttribute(0xE0, Frs(r), &a, 1024, &position)) << c.name;
        EXPECT_FALSE(FindAttributeByIndex(0xE0, 7, Frs(r), &a, 1024)) << c.name;
        EXPECT_FALSE(ExtractAttributes(Frs(r), 1024, 40, u"x")) << c.name;
    }
}

TEST_F(NtfsRecords, NonResidentNameMustEndWhereTheMappingPairsBegin) {
    RecordBuilder b;
    b.StandardInformation();
    size_t data = b.NonResident(0x80, {0x11, 0x04, 0x20}, 4 * 4096, u"$I30");  // name 0x40..0x48, pairs 0x48
    std::vector<uint8_t> r = b.FinishPlain();
    ASSERT_EQ(Get16(r, data + 0x20), 0x48);
    EXPECT_TRUE(AttributeValid(Frs(r), 1024, (ULONG)data)) << "a name that ends where the pairs begin";
    Put16(r, data + 0x0A, 0x42);
    EXPECT_FALSE(AttributeValid(Frs(r), 1024, (ULONG)data)) << "a name running into the pairs";
    r[data + 9] = 0;
    EXPECT_TRUE(AttributeValid(Frs(r), 1024, (ULONG)data)) << "without a name its offset is not used";
}

// --------------------------------------------------------------- run lists

struct RunCase {
    const char *name;
    std::vector<uint8_t> pairs;
    int64_t limitClusters;                          // byte limit in clusters
    int64_t count;                                  // -1: malformed
    int64_t clusters;                               // with disk space
    std::vector<std::pair<int64_t, int64_t>> runs;  // decoded {lcn, length}
    int64_t fragments;
};

TEST_F(NtfsRecords, MappingPairsDecode) {
    const RunCase cases[] = {
        {"one run", {0x11, 0x10, 0x20}, 16, 1, 16, {{32, 16}}, 1},
        {"one run at cluster 0 is not a fragment", {0x11, 0x10, 0x00}, 16, 1, 16, {{0, 16}}, 0},
        {"negative offset 0x21 00 80 is -32768 clusters",
         {0x31, 0x01, 0x00, 0x00, 0x01, 0x21, 0x01, 0x00, 0x80},
         2,
         2,
         2,
         {{65536, 1}, {32768, 1}},
         2},
        {"sparse run in between",
         {0x11, 0x04, 0x10, 0x01, 0x08, 0x11, 0x04, 0x10},
         16,
         3,
         8,
         {{16, 4}, {-1, 8}, {32, 4}},
         2},
        {"trailing sparse run adds no clusters", {0x11, 0x04, 0x10, 0x01, 0x04}, 8, 2, 4, {{16, 4}, {-1, 4}}, 1},
        {"contiguous runs", {0x11, 0x04, 0x10, 0x11, 0x04, 0x04}, 8, 2, 8, {{16, 4}, {20, 4}}, 1},
        {"byte limit stops the walk", {0x11, 0x04, 0x10, 0x11, 0x04, 0x10}, 4, 1, 4, {{16, 4}}, 1},
        {"8-byte fields", {0x88, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0}, 1, 1, 1, {{5, 1}}, 1},
        {"length field of 0 bytes", {0x10, 0x10}, 16, -1, 0, {}, 0},
        {"offset field of 9 bytes", {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 16, -1, 0, {}, 0},
        {"length of 0", {0x11, 0x00, 0x10}, 16, -1, 0, {}, 0},
        {"negative length", {0x11, 0xF0, 0x10}, 16, -1, 0, {}, 0},
        {"run before cluster 0", {0x11, 0x04, 0xF0}, 16, -1, 0, {}, 0},
        {"run past the volume", {0x41, 0x04, 0xFE, 0xFF, 0x0F, 0x00}, 16, -1, 0, {}, 0},
        {"LCN overflow",
         {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
          0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
         16,
         -1,
         0,
         {},
         0},
    };
    for (const RunCase &c : cases) {
        RecordBuilder b;
        size_t at = b.NonResident(0x80, c.pairs, c.limitClusters * 4096);
        std::vector<uint8_t> r = b.FinishPlain();
        PATTRIBUTE_RECORD_HEADER a = (PATTRIBUTE_RECORD_HEADER)&r[at];
        LONGLONG covered = 0, clusters = 1000;
        LONGLONG count = GetExtentCount(a, &covered, c.limitClusters * 4096, &clusters);
        EXPECT_EQ(count, c.count) << c.name;
        if (c.count < 0) {
            EXPECT_EQ(clusters, 1000) << c.name << ": nothing added for a malformed list";
            continue;
        }
        EXPECT_EQ(clusters - 1000, c.clusters) << c.name;
        std::vector<EXTENT_LIST> list(count + 1);
        for (auto &e : list) e.StartingLcn = 0x5A5A;
        LONGLONG index = 0, nextLcn = 0, decoded = 0, fragments = 0;
        AddToExtentList(a, list.data(), count, &index, &nextLcn, &decoded, c.limitClusters * 4096, &fragments);
        ASSERT_EQ(index, (LONGLONG)c.runs.size()) << c.name;
        for (size_t i = 0; i < c.runs.size(); i++) {
            EXPECT_EQ(list[i].StartingLcn, c.runs[i].first) << c.name << " run " << i;
            EXPECT_EQ(list[i].ClusterCount, c.runs[i].second) << c.name << " run " << i;
        }
        EXPECT_EQ(list[count].StartingLcn, 0x5A5A) << c.name << ": nothing written past the count";
        EXPECT_EQ(fragments, c.fragments) << c.name;
    }
}

TEST_F(NtfsRecords, RunListWithoutTerminatorInsideItsAttributeIsMalformed) {
    RecordBuilder b;
    size_t at = b.NonResident(0x80, {0x11, 0x04, 0x10}, 64 * 4096);
    std::vector<uint8_t> r = b.FinishPlain();
    // Fill the rest of the attribute with one-cluster runs, no terminator.
    size_t pairs = at + Get16(r, at + 0x20), end = at + r[at + 4];
    for (size_t p = pairs; p + 3 <= end; p += 3) {
        r[p] = 0x11;
        r[p + 1] = 1;
        r[p + 2] = 1;
    }
    for (size_t p = end - (end - pairs) % 3; p < end; p++) r[p] = 0x11;
    LONGLONG covered = 0, clusters = 0;
    EXPECT_EQ(GetExtentCount((PATTRIBUTE_RECORD_HEADER)&r[at], &covered, 64 * 4096, &clusters), -1);
}

TEST_F(NtfsRecords, FragmentsAreCountedAcrossAttributeRecords) {
    RecordBuilder b;
    size_t first = b.NonResident(0x80, {0x11, 0x04, 0x10}, 12 * 4096);
    size_t second = b.NonResident(0x80, {0x11, 0x04, 0x14, 0x11, 0x04, 0x20}, 0, u"", 4);
    std::vector<uint8_t> r = b.FinishPlain();
    std::vector<EXTENT_LIST> list(4);
    LONGLONG index = 0, nextLcn = 0, covered = 0, fragments = 0;
    AddToExtentList((PATTRIBUTE_RECORD_HEADER)&r[first], list.data(), 4, &index, &nextLcn, &covered, 12 * 4096,
                    &fragments);
    AddToExtentList((PATTRIBUTE_RECORD_HEADER)&r[second], list.data(), 4, &index, &nextLcn, &covered, 12 * 4096,
                    &fragments);
    ASSERT_EQ(index, 3);
    EXPECT_EQ(list[1].StartingLcn, 20) << "the running LCN starts at 0 in each attribute record";
    EXPECT_EQ(list[2].StartingLcn, 52);
    EXPECT_EQ(fragments, 2) << "the second record continues the first one's last run";

    index = 0;
    nextLcn = covered = fragments = 0;
    AddToExtentList((PATTRIBUTE_RECORD_HEADER)&r[second], list.data(), 1, &index, &nextLcn, &covered, 12 * 4096,
                    &fragments);
    EXPECT_EQ(index, 1) << "the capacity bounds the decode";
}

TEST_F(NtfsRecords, CheckFraggedSkipsSparseRuns) {
    struct Case {
        const char *name;
        std::vector<std::pair<int64_t, int64_t>> runs;
        BOOL fragmented;
        int64_t fragments, lowest;
    } cases[] = {
        {"three runs, two adjacent", {{100, 10}, {110, 5}, {200, 1}}, TRUE, 2, 100},
        {"sparse run between adjacent runs", {{100, 10}, {-1, 4}, {110, 5}}, FALSE, 1, 100},
        {"leading sparse run", {{-1, 4}, {300, 2}, {302, 2}}, FALSE, 1, 300},
        {"later run lowers the lowest LCN", {{500, 1}, {20, 1}, {21, 1}}, TRUE, 2, 20},
        {"one run at cluster 0", {{0, 7}}, FALSE, 1, 0},
        {"one sparse run", {{-1, 7}}, FALSE, 1, -1},
    };
    for (const Case &c : cases) {
        std::vector<EXTENT_LIST> list;
        for (auto &r : c.runs) list.push_back({r.first, r.second, 0, 0, 0, 0});
        BOOL fragmented = 77;
        LONGLONG fragments = -5, lowest = -5;
        EXPECT_TRUE(CheckFragged(list.data(), &fragmented, (LONGLONG)list.size(), &fragments, &lowest));
        EXPECT_EQ(fragmented, c.fragmented) << c.name;
        EXPECT_EQ(fragments, c.fragments) << c.name;
        EXPECT_EQ(lowest, c.lowest) << c.name;
    }
}

// ------------------------------------------------------------------- names

TEST_F(NtfsRecords, NameIsTheWin32OneWhateverItsPlace) {
    struct Case {
        const char *name;
        std::vector<std::pair<uint8_t, std::u16string>> names;
        std::u16string expected;
    } cases[] = {
        {"DOS first", {{2, u"LONGNA~1.TXT"}, {1, u"long name.txt"}}, u"long name.txt"},
        {"Win32 first", {{1, u"long name.txt"}, {2, u"LONGNA~1.TXT"}}, u"long name.txt"},
        {"Win32 and DOS", {{3, u"short.txt"}}, u"short.txt"},
        {"POSIX only", {{0, u"Posix:Name"}}, u"Posix:Name"},
        {"POSIX and DOS: the last one", {{0, u"posix"}, {2, u"POSIX~1"}}, u"POSIX~1"},
        {"255 characters", {{1, std::u16string(255, u'x')}}, std::u16string(255, u'x')},
    };
    for (const Case &c : cases) {
        RecordBuilder b;
        b.StandardInformation();
        for (auto &n : c.names) b.FileName(0x123456789ABull, n.first, n.second);
        std::vector<uint8_t> r = b.FinishPlain();
        WCHAR name[NTFS_NAME_CHARS];
        for (auto &ch : name) ch = u'#';
        LONGLONG parent = -1;
        ASSERT_TRUE(GetNameFromFileRecord(Frs(r), name, &parent)) << c.name;
        EXPECT_EQ(std::u16string(name), c.expected) << c.name;
        EXPECT_EQ(parent, 0x123456789ABll) << c.name << ": the sequence number is not part of it";
    }
}

TEST_F(NtfsRecords, RecordWithoutUsableNameFails) {
    RecordBuilder plain;
    plain.StandardInformation();
    std::vector<uint8_t> none = plain.FinishPlain();
    RecordBuilder longer;
    longer.StandardInformation();
    size_t at = longer.FileName(5, 1, u"abc");
    std::vector<uint8_t> damaged = longer.FinishPlain();
    damaged[at + 0x18 + 0x40] = 200;  // more characters than the value holds
    WCHAR name[NTFS_NAME_CHARS];
    LONGLONG parent = 0;
    EXPECT_FALSE(GetNameFromFileRecord(Frs(none), name, &parent));
    EXPECT_FALSE(GetNameFromFileRecord(Frs(damaged), name, &parent));
}

// ---------------------------------------------------------- attribute census

TEST_F(NtfsRecords, AttributeNamesAndCounterColumns) {
    EXPECT_EQ(std::u16string(GetAttribName(0x110, FALSE)), u"$UNKNWN(0x?"
                                                           u"?)");
    EXPECT_EQ(std::u16string(GetAttribName(0x110, TRUE)), u"ERROR! UNKNOWN ATTRIBUTE TYPE!");
    EXPECT_EQ(std::u16string(GetAttribName(0x10, FALSE)), u"$STDINF(0x10)");
    EXPECT_EQ(std::u16string(GetAttribName(0x10, TRUE)), u"$STANDARD_INFORMATION(0x10)");
    EXPECT_EQ(std::u16string(GetAttribName(0xFFFFFFFF, FALSE)), u"$END (0xFFFF)");
    EXPECT_EQ(std::u16string(GetAttribName(0xFFFFFFFF, TRUE)), u"$END(0xFFFFFFFF)");
    EXPECT_EQ(std::u16string(GetAttribName(0x100, TRUE)), u"$FIRST_USER_DEFINED_ATTRIBUTE(0x100)");
    for (ULONG t = 0; t <= 0x100; t += 0x10) EXPECT_EQ(wcslen(GetAttribName(t, FALSE)), 13u) << t;

    struct Case {
        ULONG type;
        int column;
    } cases[] = {{0x00, 0},   {0x10, 1},        {0x80, 8},   {0xA0, 10}, {0xE0, 14},
                 {0x100, 15}, {0xFFFFFFFF, 16}, {0x110, 17}, {0xF0, 17}, {0x18, 17}};
    for (const Case &c : cases) {
        memset(glAttribStats, 0, sizeof(glAttribStats));
        CountAttrib(c.type, TRUE);
        CountAttrib(c.type, FALSE);
        CountAttrib(c.type, TRUE);
        EXPECT_EQ(glAttribStats[1][c.column], 2) << std::hex << c.type;
        EXPECT_EQ(glAttribStats[0][c.column], 1) << std::hex << c.type;
    }
}

TEST_F(NtfsRecords, CensusCountsAttributesAndGathersOtherNonResidentRuns) {
    RecordBuilder b(0x0003);
    b.StandardInformation();                                                       // 0
    b.FileName(5, 1, u"dir");                                                      // 1
    b.Resident(0x90, std::vector<uint8_t>(0x30, 0), u"$I30");                      // 2
    b.NonResident(0xA0, {0x11, 0x02, 0x40}, 2 * 4096, u"$I30");                    // 3: not gathered
    b.NonResident(0xB0, {0x11, 0x01, 0x50, 0x11, 0x01, 0x10}, 2 * 4096, u"$I30");  // 4
    b.NonResident(0x110, {0x21, 0x03, 0x00, 0x01}, 3 * 4096);                      // 5: unknown type
    std::vector<uint8_t> r = b.FinishPlain();

    ASSERT_TRUE(ExtractAttributes(Frs(r), 1024, 77, u"Base FRS Attribute Data - "));
    EXPECT_EQ(glAttribStats[1][1], 1);
    EXPECT_EQ(glAttribStats[1][9], 1);
    EXPECT_EQ(glAttribStats[0][9], 0) << "resident attributes are not in the non-resident row";
    EXPECT_EQ(glAttribStats[0][10], 1);
    EXPECT_EQ(glAttribStats[0][11], 1);
    EXPECT_EQ(glAttribStats[0][17], 1);
    ASSERT_EQ(VolData.AttribExtentCount, 3);
    EXPECT_GE(VolData.AttribExtentCapacity, 4) << "room for one entry past the last";
    EXPECT_EQ(VolData.AttribClusters, 5);
    struct Expect {
        int64_t lcn, count;
        ULONG type, index;
    } expected[] = {{0x50, 1, 0xB0, 4}, {0x60, 1, 0xB0, 4}, {0x100, 3, 0x110, 5}};
    for (int i = 0; i < 3; i++) {
        EXTENT_LIST &e = VolData.pAttribExtentList[i];
        EXPECT_EQ(e.StartingLcn, expected[i].lcn) << i;
        EXPECT_EQ(e.SourceLcn, expected[i].lcn) << i;
        EXPECT_EQ(e.ClusterCount, expected[i].count) << i;
        EXPECT_EQ(e.FileRecord, 77) << i;
        EXPECT_EQ(e.AttributeType, expected[i].type) << i;
        EXPECT_EQ(e.AttributeIndex, expected[i].index) << i;
    }
    // A second record appends and the list grows, keeping what it holds.
    ASSERT_TRUE(ExtractAttributes(Frs(r), 1024, 78, u"Annex FRS Attribute Data - "));
    ASSERT_EQ(VolData.AttribExtentCount, 6);
    EXPECT_EQ(VolData.pAttribExtentList[0].FileRecord, 77);
    EXPECT_EQ(VolData.pAttribExtentList[2].StartingLcn, 0x100);
    EXPECT_EQ(VolData.pAttribExtentList[3].FileRecord, 78);
}

TEST_F(NtfsRecords, CensusListsAttributesAtTheMostDetailedLevel) {
    RecordBuilder b;
    b.StandardInformation();
    b.NonResident(0xB0, {0x11, 0x01, 0x50}, 0x2000);
    std::vector<uint8_t> r = b.FinishPlain();
    lLogLevel = 8;
    EXPECT_EQ(Screen([&] { ExtractAttributes(Frs(r), 1024, 9, u"Base FRS Attribute Data - "); }), "");
    lLogLevel = 9;
    std::string screen = Screen([&] { ExtractAttributes(Frs(r), 1024, 9, u"Base FRS Attribute Data - "); });
    EXPECT_NE(screen.find("Base FRS Attribute Data - $STANDARD_INFORMATION(0x10) Resident Form \n"), std::string::npos)
        << screen;
    EXPECT_NE(screen.find("Base FRS Attribute Data - $BITMAP(0xB0) Non-Resident Form \n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("     AllocatedLength = 0x00002000 bytes Mappingpairs = 11 01 50\n"), std::string::npos)
        << screen;
}

// --------------------------------------- raw family over the record cache

// An MFT of 64 records held in the 64 KB record cache, so that GetFrs finds
// every record there without reading the volume.
class CachedMft : public NtfsRecords {
protected:
    void SetUp() override {
        ResetEngine(4096, 1 << 20, 64);
        SetUpCachedMft();
        Put(5, Directory(5, u"."));
    }
    // Stores a record (protected with its USN) and marks it in use.
    void Put(LONGLONG n, const std::vector<uint8_t> &record) { PutCachedRecord(n, record); }
    void Free(LONGLONG n) {
        BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
        bitmap[n / 8] &= (BYTE) ~(1 << (n % 8));
        GlobalUnlock(VolData.hMftBitmap);
    }
    static std::vector<uint8_t> Directory(uint64_t parent, const std::u16string &name) {
        return DirectoryRecord(parent, name);
    }
    static std::vector<uint8_t> File(uint64_t parent, const std::u16string &name,
                                     std::vector<uint8_t> pairs = {0x11, 0x02, 0x40}) {
        RecordBuilder b;
        b.StandardInformation();
        b.FileName(parent, 3, name);
        b.NonResident(0x80, pairs, 64 * 4096);
        return b.Finish();
    }
    // Reads record n into pFileRecord as the stage driver does, and builds
    // its list.
    BOOL Manual(LONGLONG n, std::string *screen = nullptr) {
        VolData.FileRecordNumber = n;
        BOOL ok = FALSE;
        std::string s = Screen([&] { ok = ManualGetExtentList(0); });
        if (screen) *screen = s;
        return ok;
    }
    BOOL Path(LONGLONG n) {
        LONGLONG at = n;
        if (!GetFrs(&at, VolData.pMftExtentList, (BYTE *)GlobalLock(VolData.hMftBitmap), VolData.pMftBuffer,
                    (PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord) ||
            at != n)
            return FALSE;
        GlobalUnlock(VolData.hMftBitmap);
        return ManualGetNtfsFilePath();
    }
    std::u16string FileName() const { return std::u16string(VolData.cFileName); }
};

TEST_F(CachedMft, GetFrsMovesToTheNextInUseRecordAndStopsAtTheEnd) {
    Put(20, File(5, u"a"));
    std::vector<uint8_t> out(1024, 0xEE);
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    LONGLONG n = 6;
    ASSERT_TRUE(GetFrs(&n, nullptr, bitmap, VolData.pMftBuffer, Frs(out)));
    EXPECT_EQ(n, 20);
    EXPECT_EQ(memcmp(out.data(), "FILE", 4), 0);
    std::fill(out.begin(), out.end(), 0xEE);
    n = 21;
    ASSERT_TRUE(GetFrs(&n, nullptr, bitmap, VolData.pMftBuffer, Frs(out)));
    EXPECT_EQ(n, 64) << "no in-use record left: TotalFileRecords";
    EXPECT_EQ(out, std::vector<uint8_t>(1024, 0xEE)) << "the record is left untouched";
    n = 1000;
    ASSERT_TRUE(GetFrs(&n, nullptr, bitmap, VolData.pMftBuffer, Frs(out)));
    EXPECT_EQ(n, 64);
    GlobalUnlock(VolData.hMftBitmap);
}

TEST_F(CachedMft, GetFrsRefusesATornOrUnusedRecordAndOneBeyondTheExtents) {
    std::vector<uint8_t> torn = File(5, u"t");
    Put16(torn, 510, 0x1234);
    Put(21, torn);
    std::vector<uint8_t> unused = File(5, u"u");
    unused[0x16] = 0;  // not in use, although the bitmap says it is
    BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
    std::vector<uint8_t> out(1024);
    VolData.FileRecordNumber = 21;
    std::string screen = Screen([&] {
        LONGLONG n = 21;
        EXPECT_FALSE(GetFrs(&n, nullptr, bitmap, VolData.pMftBuffer, Frs(out)));
    });
    EXPECT_NE(screen.find("AdjustUSA->Bad File Record: 21 (Usn=7)"), std::string::npos) << screen;
    Put(22, unused);
    LONGLONG n = 22;
    EXPECT_FALSE(GetFrs(&n, nullptr, bitmap, VolData.pMftBuffer, Frs(out)));

    // Outside the cache the record must come from the MFT's extents: a record
    // past them fails instead of reading past the list.
    EXTENT_LIST mft[1] = {{100, 4, 0, 0, 0, 0}};  // 4 clusters: records 0..15
    VolData.MftExtentCount = 1;
    VolData.TotalFileRecords = 64;
    FileRecordLow = FileRecordHi = 0;
    n = 20;
    EXPECT_FALSE(GetFrs(&n, mft, bitmap, VolData.pMftBuffer, Frs(out)));
    GlobalUnlock(VolData.hMftBitmap);
}

TEST_F(CachedMft, SingleRecordFileGetsTaggedUnmergedExtents) {
    Put(30, File(5, u"f", {0x11, 0x02, 0x40, 0x11, 0x03, 0x02, 0x01, 0x02, 0x11, 0x01, 0x10}));
    ASSERT_TRUE(Manual(30));
    EXPECT_TRUE(VolData.bNonResident);
    EXPECT_FALSE(VolData.bResident);
    EXPECT_EQ(VolData.AttributeRecordCount, 1);
    ASSERT_EQ(VolData.NumberOfExtents, 4);
    int64_t lcns[] = {0x40, 0x42, -1, 0x52};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(VolData.pExtentList[i].StartingLcn, lcns[i]) << i;
        EXPECT_EQ(VolData.pExtentList[i].SourceLcn, lcns[i]) << i;
        EXPECT_EQ(VolData.pExtentList[i].FileRecord, 30) << i;
        EXPECT_EQ(VolData.pExtentList[i].AttributeType, 0x80u) << i;
        EXPECT_EQ(VolData.pExtentList[i].AttributeIndex, 2u) << i;
    }
    EXPECT_EQ(VolData.NumberOfClusters, 6);
    EXPECT_EQ(VolData.NumberOfFragments, 2) << "0x40..0x44 adjacent, 0x52 apart; the hole does not count";
    EXPECT_TRUE(VolData.bFragmented);
    EXPECT_EQ(VolData.LowestLcn, 0x40);
    EXPECT_EQ(VolData.FileSize, 64 * 4096);
}

TEST_F(CachedMft, RefusedAndResidentFilesComeBackWithoutExtents) {
    struct Case {
        const char *name;
        uint32_t attributes;
        bool residentData;
    } cases[] = {
        {"sparse flag", 0x220, false},
        {"reparse point", 0x420, false},
        {"offline", 0x1020, false},
        {"resident data", 0x20, true},
    };
    for (const Case &c : cases) {
        RecordBuilder b;
        b.StandardInformation(c.attributes);
        b.FileName(5, 3, u"x");
        if (c.residentData)
            b.Resident(0x80, std::vector<uint8_t>(100, 1));
        else
            b.NonResident(0x80, {0x11, 0x02, 0x40}, 2 * 4096);
        Put(31, b.Finish());
        ASSERT_TRUE(Manual(31)) << c.name;
        EXPECT_TRUE(VolData.bResident) << c.name;
        EXPECT_EQ(VolData.NumberOfExtents, 0) << c.name;
        EXPECT_EQ(VolData.NumberOfClusters, 0) << c.name;
    }
    // A directory whose index lives in its root only.
    Put(32, Directory(5, u"d"));
    ASSERT_TRUE(Manual(32));
    EXPECT_TRUE(VolData.bDirectory);
    EXPECT_TRUE(VolData.bResident);
    // Without $STANDARD_INFORMATION: FALSE, nothing shown.
    RecordBuilder b;
    b.FileName(5, 3, u"y");
    Put(33, b.Finish());
    std::string screen;
    bScreenLog = 1;
    EXPECT_FALSE(Manual(33, &screen));
    EXPECT_EQ(screen, "");
}

TEST_F(CachedMft, CompressedFileReportsItsTotalAllocatedSize) {
    RecordBuilder b;
    b.StandardInformation(0x820);
    b.FileName(5, 3, u"c");
    b.NonResident(0x80, {0x11, 0x04, 0x40, 0x01, 0x0C}, 16 * 4096, u"", 0, 4 * 4096);
    Put(34, b.Finish());
    ASSERT_TRUE(Manual(34));
    EXPECT_TRUE(VolData.bCompressed);
    EXPECT_EQ(VolData.FileSize, 4 * 4096);
    EXPECT_EQ(VolData.NumberOfExtents, 2);
    EXPECT_EQ(VolData.NumberOfClusters, 4);
}

// A base record with a resident attribute list naming these records for $DATA.
std::vector<uint8_t> ListBase(const std::vector<uint64_t> &dataRecords, std::vector<uint8_t> basePairs = {},
                              std::vector<uint8_t> extra = {}) {
    RecordBuilder b;
    b.StandardInformation();
    std::vector<uint8_t> list;
    auto add = [&](std::vector<uint8_t> e) { list.insert(list.end(), e.begin(), e.end()); };
    add(ListEntry(0x10, 40));
    add(ListEntry(0x30, 40));
    int64_t vcn = 0;
    for (uint64_t r : dataRecords) add(ListEntry(0x80, r, vcn++ * 2));
    list.insert(list.end(), extra.begin(), extra.end());
    b.Resident(0x20, list);
    b.FileName(5, 3, u"big");
    if (!basePairs.empty()) b.NonResident(0x80, basePairs, 6 * 4096);
    return b.Finish();
}

std::vector<uint8_t> Extension(std::vector<uint8_t> pairs, int64_t lowestVcn, bool secondStream = false,
                               uint64_t baseReference = 40) {
    RecordBuilder b;
    Put16(b.bytes(), 0x12, 0);  // extension records have no links
    Put64(b.bytes(), 0x20, baseReference);
    b.NonResident(0x80, pairs, 0, u"", lowestVcn);
    if (secondStream) b.NonResident(0x80, {0x11, 0x01, 0x70}, 4096, u"s");
    return b.Finish();
}

TEST_F(CachedMft, ResidentAttributeListGathersPiecesFromSeveralRecords) {
    Put(40, ListBase({40, 41, 42}, {0x11, 0x02, 0x40}));
    Put(41, Extension({0x11, 0x02, 0x42}, 2));  // continues the first piece
    Put(42, Extension({0x11, 0x02, 0x60}, 4));
    ASSERT_TRUE(Manual(40));
    EXPECT_TRUE(VolData.bHugeFile);
    EXPECT_EQ(VolData.AttributeRecordCount, 3);
    ASSERT_EQ(VolData.NumberOfExtents, 3);
    EXPECT_EQ(VolData.pExtentList[0].FileRecord, 40);
    EXPECT_EQ(VolData.pExtentList[1].FileRecord, 41);
    EXPECT_EQ(VolData.pExtentList[2].FileRecord, 42);
    EXPECT_EQ(VolData.pExtentList[1].StartingLcn, 0x42);
    EXPECT_EQ(VolData.pExtentList[2].StartingLcn, 0x60);
    EXPECT_EQ(VolData.pExtentList[2].AttributeIndex, 0u);
    EXPECT_EQ(VolData.NumberOfFragments, 2);
    EXPECT_EQ(VolData.NumberOfClusters, 6);
    EXPECT_EQ(VolData.FileSize, 6 * 4096);
}

TEST_F(CachedMft, SeveralStreamsInOneRecordAreSkipped) {
    // The list names the same record twice in a row.
    Put(40, ListBase({41, 41}, {}));
    Put(41, Extension({0x11, 0x02, 0x42}, 0));
    std::string screen;
    EXPECT_FALSE(Manual(40, &screen));
    EXPECT_NE(screen.find("Info: Skipping SFM file (multiple data streams in FRS): (FRN=40)\n"), std::string::npos)
        << screen;
    EXPECT_EQ(VolData.NumberOfClusters, 0);
    EXPECT_EQ(VolData.NumberOfExtents, 0);
    // One entry, but the record holds a second $DATA.
    Put(40, ListBase({41}, {}));
    Put(41, Extension({0x11, 0x02, 0x42}, 0, true));
    EXPECT_FALSE(Manual(40, &screen));
    EXPECT_NE(screen.find("Skipping SFM file"), std::string::npos) << screen;
}

TEST_F(CachedMft, DamagedAttributeListsAreRefused) {
    struct Case {
        const char *name;
        std::vector<uint8_t> extra;
    } cases[] = {
        {"segment past the MFT", ListEntry(0x80, 64)},
        {"segment far past the MFT", ListEntry(0x80, 0xFFFFFFFFFFFFull)},
        {"entry of length 0",
         [] {
             auto e = ListEntry(0x80, 41);
             Put16(e, 4, 0);
             return e;
         }()},
        {"entry running past the list",
         [] {
             auto e = ListEntry(0x80, 41);
             Put16(e, 4, 0x200);
             return e;
         }()},
        {"truncated entry", std::vector<uint8_t>{0x80, 0, 0, 0, 0x20, 0}},
        {"name past the entry",
         [] {
             auto e = ListEntry(0x80, 41);
             e[6] = 40;
             return e;
         }()},
    };
    Put(41, Extension({0x11, 0x02, 0x42}, 0));
    for (const Case &c : cases) {
        Put(40, ListBase({41}, {}, c.extra));
        EXPECT_FALSE(Manual(40)) << c.name;
        EXPECT_EQ(VolData.NumberOfExtents, 0) << c.name;
    }
}

TEST_F(CachedMft, AttributeListNamingAnotherFilesRecordIsRefused) {
    struct Case {
        const char *name;
        uint64_t baseReference;
        bool accepted;
    } cases[] = {
        {"extension of this file", 40, true},
        {"sequence number above the 48 bits", 40 | (0x1234ull << 48), true},
        {"extension of another file", 39, false},
        {"a base record of its own", 0, false},
        {"another file, equal in the low 32 bits", 40 | (1ull << 32), false},
    };
    bScreenLog = 1;
    for (const Case &c : cases) {
        Put(40, ListBase({40, 41}, {0x11, 0x02, 0x40}));
        Put(41, Extension({0x11, 0x02, 0x60}, 2, false, c.baseReference));
        std::string screen;
        EXPECT_EQ(Manual(40, &screen) != FALSE, c.accepted) << c.name;
        if (c.accepted) {
            EXPECT_EQ(VolData.NumberOfExtents, 2) << c.name;
            EXPECT_EQ(VolData.pExtentList[1].FileRecord, 41) << c.name;
        } else {
            EXPECT_EQ(VolData.NumberOfExtents, 0) << c.name;
            EXPECT_EQ(VolData.NumberOfClusters, 0) << c.name;
            EXPECT_NE(screen.find("Error #"), std::string::npos) << c.name << ": reported\n" << screen;
        }
    }
}

TEST_F(CachedMft, ExtensionRecordMustBeTheOneAsked) {
    Put(40, ListBase({45}, {}));  // record 45 is not in use: GetFrs moves on to 46
    Put(46, Extension({0x11, 0x02, 0x42}, 0));
    EXPECT_FALSE(Manual(40));
}

TEST_F(CachedMft, NamesMovedToAnExtensionRecordAreFoundThroughTheList) {
    RecordBuilder base;
    base.StandardInformation();
    std::vector<uint8_t> list = ListEntry(0x10, 50);
    for (auto e : {ListEntry(0x30, 51), ListEntry(0x30, 51), ListEntry(0x80, 50)})
        list.insert(list.end(), e.begin(), e.end());
    base.Resident(0x20, list);
    base.NonResident(0x80, {0x11, 0x02, 0x40}, 2 * 4096);
    Put(50, base.Finish());
    RecordBuilder extension;
    Put16(extension.bytes(), 0x12, 0);
    Put64(extension.bytes(), 0x20, 50);
    extension.FileName(30, 2, u"MOVED~1.TXT");
    extension.FileName(30, 1, u"moved names.txt");
    Put(51, extension.Finish());
    Put(30, Directory(5, u"Dir"));
    ASSERT_TRUE(Path(50));
    EXPECT_EQ(FileName(), u"C:\\Dir\\moved names.txt");
    Free(51);
    LastPathFrs = -1;
    EXPECT_FALSE(Path(50)) << "the extension record cannot be read";
}

TEST_F(CachedMft, PathsFollowParentsToTheRoot) {
    Put(30, Directory(5, u"Dir"));
    Put(31, Directory(30, u"Sub dir"));
    Put(32, File(31, u"a.txt"));
    Put(33, File(31, u"b.txt"));
    Put(34, File(5, u"root.txt"));
    ASSERT_TRUE(Path(32));
    EXPECT_EQ(FileName(), u"C:\\Dir\\Sub dir\\a.txt");
    // The sibling reuses the directory part: make the directories unreadable
    // to prove no parent is read again.
    Free(30);
    Free(31);
    ASSERT_TRUE(Path(33));
    EXPECT_EQ(FileName(), u"C:\\Dir\\Sub dir\\b.txt");
    ASSERT_TRUE(Path(34));
    EXPECT_EQ(FileName(), u"C:\\root.txt");
}

TEST_F(CachedMft, ParentChainsThatLoopOrNeverReachTheRootFail) {
    Put(40, Directory(41, u"loop a"));
    Put(41, Directory(40, u"loop b"));
    Put(42, File(40, u"in a loop"));
    Put(43, Directory(43, u"own parent"));
    Put(44, File(43, u"under itself"));
    Put(45, File(63, u"parent not in use"));
    Put(46, File(1000, u"parent past the MFT"));
    Put(30, Directory(5, u"Dir"));
    Put(31, File(30, u"ok.txt"));
    for (LONGLONG n : {42, 44, 45, 46}) {
        ASSERT_TRUE(Path(31));
        EXPECT_EQ(FileName(), u"C:\\Dir\\ok.txt");
        EXPECT_FALSE(Path(n)) << n;
        EXPECT_EQ(FileName(), u"C:\\Dir\\ok.txt") << "a failed path leaves cFileName as it was";
    }
}

TEST_F(CachedMft, FailedWalkDoesNotLendItsDirectoryToTheNextFile) {
    Put(30, Directory(5, u"X"));
    Put(31, File(30, u"first"));
    Put(32, File(50, u"second"));  // directory 50 cannot be read
    Put(33, File(50, u"third"));
    ASSERT_TRUE(Path(31));
    EXPECT_FALSE(Path(32));
    EXPECT_FALSE(Path(33)) << "must not become C:\\X\\third";
    EXPECT_EQ(FileName(), u"C:\\X\\first");
}

TEST_F(CachedMft, ShortcutPathsStayBelow256Characters) {
    std::u16string longName(200, u'd');
    Put(30, Directory(5, longName));
    Put(31, File(30, std::u16string(40, u'a')));
    Put(32, File(30, std::u16string(60, u'b')));
    ASSERT_TRUE(Path(31));
    EXPECT_EQ(FileName().size(), 2 + 1 + 200 + 1 + 40u);
    EXPECT_FALSE(Path(32)) << "C:\\ + 200 + \\ + 60 reaches 256 characters";
}

}  // namespace
