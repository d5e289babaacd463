// Directory buffers built by hand: how the walk forms names (long names
// from their pieces, 8.3 names byte by byte) and compacts a directory,
// where mtools cannot make the entries (pieces before the buffer's start, a
// name byte 0xE5, the deleted-file flags).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fat.h"

namespace {

// A directory buffer of 32-byte entries, ended by zeros.
struct Dir {
    std::vector<BYTE> bytes = std::vector<BYTE>(64 * DIR_ENTRY_BYTES, 0);
    size_t used = 0;
    TREE_DATA *tree = new TREE_DATA();
    ~Dir() { delete tree; }

    DIRSTRUC *Short(const char *name11, BYTE attributes = FAT_ATTR_ARCHIVE) {
        DIRSTRUC *e = (DIRSTRUC *)&bytes[used];
        memcpy(e->Name, name11, 11);
        e->Attributes = attributes;
        used += DIR_ENTRY_BYTES;
        return e;
    }
    // The long-name pieces of `name` (last piece first), as a volume holds them.
    void Long(const std::u16string &name, BYTE deletedPiece = 0) {
        size_t pieces = (name.size() + LFN_PIECE_CHARS - 1) / LFN_PIECE_CHARS;
        for (size_t p = pieces; p >= 1; p--) {
            LONG_NAME_ENTRY *e = (LONG_NAME_ENTRY *)&bytes[used];
            e->Sequence = BYTE(p | (p == pieces ? LFN_LAST_PIECE : 0));
            if (p == deletedPiece) e->Sequence = DIR_DELETED;
            e->Attributes = FAT_ATTR_LONG_NAME;
            WCHAR units[LFN_PIECE_CHARS];
            for (size_t i = 0; i < LFN_PIECE_CHARS; i++) {
                size_t at = (p - 1) * LFN_PIECE_CHARS + i;
                units[i] = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
            }
            memcpy(e->Name1, units, 10);
            memcpy(e->Name2, units + 5, 12);
            memcpy(e->Name3, units + 11, 4);
            used += DIR_ENTRY_BYTES;
        }
    }
    // The name of the entry at `index`, the buffer starting at entry `start`.
    std::u16string NameAt(size_t index, size_t start = 0) {
        WCHAR name[FAT_NAME_CHARS];
        tree->pDirStart = &bytes[start * DIR_ENTRY_BYTES];
        tree->pCurrentEntry = &bytes[index * DIR_ENTRY_BYTES];
        EXPECT_TRUE(GetUnicodeName(tree, name));
        return name;
    }
    // The names StripDir keeps, in order.
    std::vector<std::u16string> Strip(DWORD flags) {
        tree->pDirStart = bytes.data();
        EXPECT_TRUE(StripDir(tree, flags));
        EXPECT_EQ(tree->pCurrentEntry, bytes.data());
        std::vector<std::u16string> kept;
        for (size_t i = 0; bytes[i * DIR_ENTRY_BYTES] != DIR_END; i++)
            if (bytes[i * DIR_ENTRY_BYTES + 11] != FAT_ATTR_LONG_NAME) kept.push_back(NameAt(i));
        return kept;
    }
};

TEST(FatNames, LongNamesFromTheirPiecesAndShortNamesByteByByte) {
    Dir d;
    const std::u16string thirteen = u"Exactly13.txt", longest(FAT_LONG_NAME_CHARS, u'n');
    d.Long(thirteen);
    d.Short("EXACTL~1TXT");                // 1
    d.Long(longest);                       // 20 pieces, the last 0x54
    d.Short("NNNNNN~1   ");                // 22
    d.Long(u"Some piece deleted.txt", 1);  // the piece next to its entry
    d.Short("SOMEPI~1TXT");                // 25
    d.Short("A\xE5"
            "B     C  ");          // 26: 0xE5 in a name, blanks
    d.Short("CAF\x90    T\x8F ");  // 27: bytes above 0x7F
    d.Short("NOEXT      ");        // 28
    EXPECT_EQ(d.NameAt(1), thirteen);
    EXPECT_EQ(d.NameAt(22), longest);
    EXPECT_EQ(d.NameAt(25), u"SOMEPI~1.TXT");
    EXPECT_EQ(d.NameAt(26), u"A~B.C");
    EXPECT_EQ(d.NameAt(27), u"CAF\xFF90.T\xFF8F");
    EXPECT_EQ(d.NameAt(28), u"NOEXT");
    // Pieces before the buffer's start are not read: a buffer that starts
    // at the piece next to the entry gives that piece's 13 characters.
    EXPECT_EQ(d.NameAt(22, 21), longest.substr(0, LFN_PIECE_CHARS));
    EXPECT_EQ(d.NameAt(22, 22), u"NNNNNN~1");
}

TEST(FatNames, StripDirKeepsTheClassesItsFlagsSelectWithTheirPieces) {
    auto make = [](Dir &d) {
        d.Short("VOLUME     ", FAT_ATTR_VOLUME_LABEL);
        d.Short(".          ", FAT_ATTR_DIRECTORY);
        d.Long(u"Live file.txt");
        d.Short("LIVEFI~1TXT");
        d.Long(u"Gone file.txt");
        d.Short("\xE5ONEFI~1TXT");
        d.Long(u"Sub folder");
        d.Short("SUBFOL~1   ", FAT_ATTR_DIRECTORY);
        d.Short("\xE5OLDDIR    ", FAT_ATTR_DIRECTORY);
        d.Long(u"Orphan");  // pieces before the end, of no entry
    };
    struct Case {
        DWORD flags;
        std::vector<std::u16string> kept;
    } cases[] = {
        {STRIP_SUBDIRECTORIES | STRIP_LIVE_FILES, {u"Live file.txt", u"Sub folder"}},
        {STRIP_SUBDIRECTORIES, {u"Sub folder"}},
        {STRIP_LIVE_FILES, {u"Live file.txt"}},
        {STRIP_DELETED_FILES, {u"Gone file.txt"}},
        {STRIP_KEEP_DELETED | STRIP_SUBDIRECTORIES, {u"Sub folder", u"~OLDDIR"}},
    };
    for (const Case &c : cases) {
        Dir d;
        make(d);
        EXPECT_EQ(d.Strip(c.flags), c.kept) << "flags " << c.flags;
        // The end entry follows the kept ones, and the orphan pieces with it.
        size_t end = 0;
        while (d.bytes[end] != DIR_END) end += DIR_ENTRY_BYTES;
        EXPECT_EQ(d.bytes[end - DIR_ENTRY_BYTES + 11], FAT_ATTR_LONG_NAME) << "flags " << c.flags;
    }
}

TEST(FatNames, LocateDirEntryFindsALiveEntryByTheNameTheWalkGivesIt) {
    Dir d;
    d.Short(".          ", FAT_ATTR_DIRECTORY);
    d.Long(u"Report.TXT");
    d.Short("\xE5"
            "EPORT  TXT");  // 2: deleted, of the same name
    d.Long(u"Report.txt");
    d.Short("REPORT  TXT");  // 4
    d.Long(u"Photos");
    d.Short("PHOTOS     ", FAT_ATTR_DIRECTORY);  // 6
    d.Short("NOTES   TXT");                      // 7
    HGLOBAL h = GlobalAlloc(GHND, d.bytes.size());
    ASSERT_NE(h, nullptr);
    memcpy(GlobalLock(h), d.bytes.data(), d.bytes.size());
    GlobalUnlock(h);
    struct Case {
        const char16_t *name;
        BOOL directory;
        LONG entry;  // -1: not found
    } cases[] = {
        {u"REPORT.TXT", FALSE, 4}, {u"photos", FALSE, 6}, {u"Photos", TRUE, 6}, {u"report.txt", TRUE, -1},
        {u"notes.txt", FALSE, 7},  {u"NOTES", FALSE, -1}, {u".", TRUE, 0},
    };
    for (const Case &c : cases) {
        DWORD offset = 0xFFFFFFFF;
        BOOL found = LocateDirEntry(h, c.name, c.directory, &offset);
        EXPECT_EQ(found != FALSE, c.entry >= 0) << "entry " << c.entry;
        if (c.entry >= 0) {
            EXPECT_EQ(offset, (DWORD)c.entry * DIR_ENTRY_BYTES) << "entry " << c.entry;
        }
    }
    GlobalFree(h);
}

}  // namespace
