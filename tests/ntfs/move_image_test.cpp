// Moves on real volumes: mkntfs images of 512- and 4,096-byte clusters
// filled by the image kit (fragmented files, attribute lists of both forms,
// a compressed file, fragmented directories, a sparse file, a file whose
// other non-resident attributes lie in two records, a directory with a
// non-resident index bitmap) plus a plain file with holes, set up the way
// volume setup leaves them, each file moved with NTFSMoveFile (or its other
// attributes with NTFSMoveAttrib) to a free run found by the first-fit
// search. Afterwards
// the volume is checked with the kit (ntfsresize, ntfs-3g.probe, ntfsfix and
// every file's content), every record's runs are cross-checked against
// $Bitmap through libntfs-3g, and the runs libntfs-3g reads are compared
// with where the move put them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include <imgkit/imgkit.h>

#include "internal.h"
#include "move_reference.h"
#include "move_support.h"
#include "ntfs3g_reference.h"

using namespace ntfstest;
using RefRun = ntfsref::Run;

namespace {

// One filled image per cluster size, made once for the whole program.
struct BaseImage {
    std::unique_ptr<imgkit::ScratchDir> dir;
    std::string image;
    imgkit::Manifest manifest;
    uint64_t holed = 0;  // the plain file with holes
    std::vector<uint8_t> holedContent;
    std::string error;
};
std::map<LONGLONG, BaseImage> bases;

BaseImage &BaseFor(LONGLONG cluster) {
    BaseImage &b = bases[cluster];
    if (b.dir) return b;
    b.dir = std::make_unique<imgkit::ScratchDir>();
    b.image = b.dir->file("base.img");
    try {
        imgkit::make_ntfs(b.image, 64 << 20, (uint32_t)cluster);
        imgkit::Profile profile = imgkit::Profile::full();
        profile.attrlist_ea = true;
        profile.frag_dir_bitmap_nonresident = true;
        b.manifest = imgkit::fill(b.image, profile, 11);
    } catch (const std::exception &e) {
        b.error = e.what();
        return b;
    }
    // Data, a hole, data, a hole, data.
    uint64_t c = (uint64_t)cluster;
    b.holed = moveref::MakeHoledFile(b.image, "Holes Without Flag.bin", 48 * c,
                                     {{0, 8 * c}, {20 * c, 5 * c}, {40 * c, 8 * c}}, &b.holedContent, &b.error);
    return b;
}

// Runs of a record's unnamed data (or index) as libntfs-3g reads them, piece by piece.
std::vector<ntfsref::Piece> Pieces(const ntfsref::Volume &v, uint64_t record) {
    auto it = v.records.find(record);
    if (it == v.records.end()) return {};
    return it->second.directory ? it->second.index : it->second.data;
}

std::vector<RefRun> AllRuns(const std::vector<ntfsref::Piece> &pieces) {
    std::vector<RefRun> runs;
    for (const auto &p : pieces) runs.insert(runs.end(), p.runs.begin(), p.runs.end());
    return runs;
}

// The entries of the current extent list.
std::vector<RefRun> ListRuns() {
    std::vector<RefRun> runs;
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++)
        runs.push_back({VolData.pExtentList[i].StartingLcn, VolData.pExtentList[i].ClusterCount});
    return runs;
}

// What a move must make of runs: the data runs back to back from the
// destination in order, the holes where they were.
std::vector<RefRun> Packed(const std::vector<RefRun> &runs, LONGLONG destination) {
    std::vector<RefRun> out;
    LONGLONG at = destination;
    for (const RefRun &r : runs) {
        if (r.lcn < 0) {
            out.push_back({-1, r.length});
        } else {
            out.push_back({at, r.length});
            at += r.length;
        }
    }
    return out;
}

class MoveImage : public testing::TestWithParam<LONGLONG> {
protected:
    void SetUp() override {
        base_ = &BaseFor(GetParam());
        ASSERT_EQ(base_->error, "");
        ASSERT_TRUE(machine_.ok());
        imgkit::copy_image(base_->image, machine_.image());
        before_ = ntfsref::Load(machine_.image());
        ASSERT_EQ(before_.error, "");
        movetest::SetUpVolume();
        Survey();
    }
    void TearDown() override {
        movetest::TearDownVolume();
        unsetenv("NT_WRITE_LOG");
    }

    // The files of the volume by what the raw family makes of them.
    void Survey() {
        BOOL ok = FALSE;
        for (LONGLONG n = 16; movetest::ReadNextRecord(&n, &ok); n++) {
            if (!ok || ((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)->ReferenceCount == 0) continue;
            if (VolData.bResident || VolData.NumberOfExtents == 0) continue;
            bool holes = false;
            for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++) holes |= VolData.pExtentList[i].StartingLcn < 0;
            if ((LONGLONG)n == (LONGLONG)base_->holed) continue;
            if (VolData.bDirectory) {
                if (VolData.bFragmented) fragmentedDirs_.push_back(n);
            } else if (VolData.bCompressed) {
                compressed_.push_back(n);
            } else if (VolData.bHugeFile || VolData.bMegaFile) {
                severalRecords_.push_back(n);
            } else if (VolData.bFragmented && !holes) {
                fragmented_.push_back(n);
            }
        }
    }

    // Moves record n to the first free run that holds it; the destination
    // goes to *destination. Returns the move's result.
    bool Move(LONGLONG n, LONGLONG *destination, std::string *screen = nullptr) {
        if (!movetest::LoadFile(n)) {
            ADD_FAILURE() << "record " << n << " cannot be read";
            return false;
        }
        listBefore_ = ListRuns();
        *destination = movetest::FindDestination(VolData.NumberOfClusters);
        if (*destination < 0) {
            ADD_FAILURE() << "no room for record " << n;
            return false;
        }
        BOOL ok = FALSE;
        std::string s = Screen([&] { ok = NTFSMoveFile(*destination); });
        if (screen) *screen = s;
        EXPECT_EQ(VolData.FileRecordNumber, n) << "the walk's record number is kept";
        return ok;
    }
    // Closes the volume and checks it with the kit and the cross-reference;
    // `lost` tells whether clusters without owner are allowed.
    void CheckVolume(bool lost) {
        movetest::TearDownVolume();
        imgkit::CheckResult r = imgkit::check(machine_.image(), base_->manifest);
        if (lost)
            EXPECT_TRUE(r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters) << r.summary;
        else
            EXPECT_EQ(r.code, imgkit::kConsistent) << r.summary;
        moveref::CrossCheck c = moveref::Check(machine_.image());
        EXPECT_TRUE(c.errors.empty()) << c.errors.front();
        if (!lost) {
            EXPECT_EQ(c.lost, 0u);
        }
        EXPECT_GT(c.records, 300u);
        after_ = ntfsref::Load(machine_.image());
        ASSERT_EQ(after_.error, "");
    }
    std::string Content(uint64_t record) {
        std::string error;
        std::vector<uint8_t> d = moveref::ReadData(machine_.image(), record, &error);
        EXPECT_EQ(error, "");
        return std::string(d.begin(), d.end());
    }

    BaseImage *base_ = nullptr;
    movetest::ImageMachine machine_;
    ntfsref::Volume before_, after_;
    std::vector<LONGLONG> fragmented_, severalRecords_, compressed_, fragmentedDirs_;
    std::vector<RefRun> listBefore_;
};

TEST_P(MoveImage, FragmentedFilesInTheirBaseRecordEndUpInOneRun) {
    ASSERT_GE(fragmented_.size(), 5u);
    std::map<LONGLONG, std::pair<LONGLONG, LONGLONG>> moved;  // record -> destination, clusters
    for (size_t i = 0; i < fragmented_.size() && i < 12; i++) {
        LONGLONG n = fragmented_[i], destination = -1;
        ASSERT_TRUE(Move(n, &destination)) << "record " << n;
        EXPECT_EQ(AllRuns(Pieces(before_, (uint64_t)n)), listBefore_) << "the list the move started from";
        moved[n] = {destination, VolData.NumberOfClusters};
        // The record as rewritten: one run at the destination.
        for (LONGLONG e = 0; e < VolData.NumberOfExtents; e++) EXPECT_EQ(VolData.pExtentList[e].FileRecord, n);
    }
    EXPECT_EQ(glFileStats[2 + 16], (LONGLONG)moved.size());
    CheckVolume(false);
    for (auto &m : moved) {
        std::vector<RefRun> runs = AllRuns(Pieces(after_, (uint64_t)m.first));
        ASSERT_EQ(runs.size(), 1u) << "record " << m.first;
        EXPECT_EQ(runs[0].lcn, m.second.first);
        EXPECT_EQ(runs[0].length, m.second.second);
    }
}

TEST_P(MoveImage, FilesWithAttributeListsMovePieceByPiece) {
    ASSERT_GE(severalRecords_.size(), 2u) << "a resident and a non-resident attribute list";
    bool resident = false, nonResident = false;
    size_t mostPieces = 0;
    std::map<LONGLONG, LONGLONG> destinations;
    for (LONGLONG n : severalRecords_) {
        LONGLONG destination = -1;
        ASSERT_TRUE(movetest::LoadFile(n));
        resident |= VolData.bHugeFile != 0;
        nonResident |= VolData.bMegaFile != 0;
        std::vector<LONGLONG> records;
        for (LONGLONG e = 0; e < VolData.NumberOfExtents; e++)
            if (records.empty() || records.back() != VolData.pExtentList[e].FileRecord)
                records.push_back(VolData.pExtentList[e].FileRecord);
        mostPieces = std::max(mostPieces, records.size());
        std::vector<uint8_t> base(VolData.pFileRecord, VolData.pFileRecord + VolData.BytesPerFRS);
        ASSERT_TRUE(Move(n, &destination)) << "record " << n;
        destinations[n] = destination;
        // pFileRecord holds the base record again, as the disk has it.
        std::vector<uint8_t> now(VolData.pFileRecord, VolData.pFileRecord + VolData.BytesPerFRS);
        std::vector<uint8_t> fresh(VolData.BytesPerFRS);
        LONGLONG back = n;
        BYTE *bitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
        GlobalUnlock(VolData.hMftBitmap);
        ASSERT_TRUE(GetFrs(&back, VolData.pMftExtentList, bitmap, VolData.pMftBuffer, Frs(fresh)));
        EXPECT_EQ(now, fresh) << "record " << n;
        EXPECT_EQ(((PFILE_RECORD_SEGMENT_HEADER)now.data())->ReferenceCount,
                  ((PFILE_RECORD_SEGMENT_HEADER)base.data())->ReferenceCount);
    }
    EXPECT_TRUE(resident);
    EXPECT_TRUE(nonResident);
    EXPECT_GE(mostPieces, 2u) << "a file whose runs need several records";
    CheckVolume(false);
    for (auto &d : destinations) {
        std::vector<ntfsref::Piece> pieces = Pieces(after_, (uint64_t)d.first),
                                    old = Pieces(before_, (uint64_t)d.first);
        ASSERT_EQ(pieces.size(), old.size()) << "record " << d.first;
        LONGLONG at = d.second;
        for (size_t p = 0; p < pieces.size(); p++) {
            if (pieces[p].resident) continue;
            EXPECT_EQ(pieces[p].record, old[p].record) << "the piece stays in its record";
            ASSERT_EQ(pieces[p].runs.size(), 1u) << "record " << d.first << " piece " << p;
            EXPECT_EQ(pieces[p].runs[0].lcn, at) << "pieces back to back";
            at += pieces[p].runs[0].length;
        }
    }
}

TEST_P(MoveImage, CompressedFileKeepsItsCompressionUnits) {
    ASSERT_FALSE(compressed_.empty());
    LONGLONG n = compressed_[0], destination = -1;
    std::vector<RefRun> old = AllRuns(Pieces(before_, (uint64_t)n));
    bool holes = false;
    for (auto &r : old) holes |= r.lcn < 0;
    ASSERT_TRUE(holes) << "compression units that saved clusters";
    std::string content = Content((uint64_t)n);
    ASSERT_TRUE(Move(n, &destination));
    EXPECT_EQ(glFileStats[2 + 8 + (VolData.bFragmented ? 16 : 0)], 1);
    CheckVolume(false);
    EXPECT_EQ(AllRuns(Pieces(after_, (uint64_t)n)), Packed(old, destination));
    EXPECT_EQ(Content((uint64_t)n), content);
}

TEST_P(MoveImage, PlainFileWithHolesKeepsItsHoles) {
    LONGLONG n = (LONGLONG)base_->holed, destination = -1;
    ASSERT_TRUE(movetest::LoadFile(n));
    ASSERT_TRUE(VolData.bNonResident);
    ASSERT_FALSE(VolData.bCompressed);
    std::vector<RefRun> old = ListRuns();
    ASSERT_EQ(old.size(), 5u);
    ASSERT_EQ(old[1].lcn, -1);
    ASSERT_EQ(old[3].lcn, -1);
    ASSERT_TRUE(Move(n, &destination));
    CheckVolume(false);
    EXPECT_EQ(AllRuns(Pieces(after_, (uint64_t)n)), Packed(old, destination));
    std::string content = Content((uint64_t)n);
    EXPECT_TRUE(content == std::string(base_->holedContent.begin(), base_->holedContent.end()))
        << "the content reads back unchanged";
}

TEST_P(MoveImage, FragmentedDirectoryIndexMovesRunByRun) {
    ASSERT_FALSE(fragmentedDirs_.empty());
    std::string error;
    auto paths = ntfsref::ListPaths(machine_.image(), &error);
    ASSERT_EQ(error, "");
    std::map<LONGLONG, std::pair<LONGLONG, std::vector<RefRun>>> moved;
    for (LONGLONG n : fragmentedDirs_) {
        LONGLONG destination = -1;
        std::vector<RefRun> old = AllRuns(Pieces(before_, (uint64_t)n));
        ASSERT_TRUE(Move(n, &destination)) << "directory " << n;
        moved[n] = {destination, old};
    }
    EXPECT_EQ(glFileStats[1 + 16], (LONGLONG)moved.size());
    CheckVolume(false);
    for (auto &m : moved)
        EXPECT_EQ(AllRuns(Pieces(after_, (uint64_t)m.first)), Packed(m.second.second, m.second.first))
            << "one run per index run, back to back: directory " << m.first;
    EXPECT_EQ(ntfsref::ListPaths(machine_.image(), &error), paths) << "every name is still found";
}

TEST_P(MoveImage, SparseFileIsLeftAlone) {
    uint64_t sparse = 0;
    for (auto &r : before_.records)
        if (r.second.fileAttributes & 0x200) sparse = r.first;
    ASSERT_NE(sparse, 0u);
    VolData.FileRecordNumber = (LONGLONG)sparse;
    ASSERT_TRUE(ManualGetExtentList(0));
    EXPECT_TRUE(VolData.bResident);
    EXPECT_EQ(VolData.NumberOfExtents, 0);
    uint64_t writes = ntp::raw_write_count();
    BOOL ok = TRUE;
    Screen([&] { ok = NTFSMoveFile(movetest::FindDestination(16)); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(ntp::raw_write_count(), writes);
    CheckVolume(false);
    EXPECT_EQ(AllRuns(Pieces(after_, sparse)), AllRuns(Pieces(before_, sparse)));
}

TEST_P(MoveImage, WritesOfEveryPieceComeInTheSafeOrder) {
    std::string log = machine_.folder() + "/writes.log";
    setenv("NT_WRITE_LOG", log.c_str(), 1);
    ASSERT_FALSE(severalRecords_.empty());
    LONGLONG bpc = VolData.BytesPerCluster;
    for (LONGLONG n : {fragmented_.at(0), severalRecords_.at(0), severalRecords_.back()}) {
        SCOPED_TRACE("record " + std::to_string(n));
        std::ofstream(log, std::ios::trunc).close();  // the platform keeps the log open: empty it
        LONGLONG destination = -1;
        ASSERT_TRUE(Move(n, &destination));
        // Where each piece went, and where its record lives in the MFT.
        struct Piece {
            LONGLONG from, to, record;
        };
        std::vector<Piece> pieces;
        LONGLONG at = destination;
        for (LONGLONG e = 0; e < VolData.NumberOfExtents; e++) {
            const EXTENT_LIST &x = VolData.pExtentList[e];
            if (pieces.empty() || pieces.back().record != x.FileRecord) pieces.push_back({at, at, x.FileRecord});
            if (x.StartingLcn >= 0) {
                at += x.ClusterCount;
                pieces.back().to = at;
            }
        }
        auto inExtents = [&](const EXTENT_LIST *list, LONGLONG count, LONGLONG offset) {
            for (LONGLONG i = 0; i < count; i++)
                if (offset >= list[i].StartingLcn * bpc && offset < (list[i].StartingLcn + list[i].ClusterCount) * bpc)
                    return true;
            return false;
        };
        std::ifstream in(log);
        std::string line, order;
        size_t piece = 0;
        while (std::getline(in, line)) {
            char drive;
            unsigned long long offset = 0, length = 0;
            ASSERT_EQ(sscanf(line.c_str(), "%c: %llu %llu", &drive, &offset, &length), 3) << line;
            LONGLONG o = (LONGLONG)offset;
            if (inExtents(pVolumeBitMapExtent, llVolumeBitMapExtents, o)) {
                order += 'B';
            } else if (inExtents(VolData.pMftExtentList, VolData.MftExtentCount, o)) {
                order += 'M';
                if (piece < pieces.size()) piece++;  // the next data belongs to the next piece
            } else if (piece < pieces.size() && o >= pieces[piece].from * bpc &&
                       o + (LONGLONG)length <= pieces[piece].to * bpc) {
                order += 'D';
            } else {
                order += '?';
            }
        }
        std::string one = "(B+D+MB+)";
        std::string pattern = "^";
        for (size_t p = 0; p < pieces.size(); p++) pattern += one;
        pattern += "$";
        EXPECT_TRUE(std::regex_match(order, std::regex(pattern)))
            << order << " for " << pieces.size() << " pieces: bitmap, this piece's data, its record, bitmap";
    }
}

TEST_P(MoveImage, TracesAnnounceEveryStepAtItsLevel) {
    // The steps of a move of one piece, and the level from which each shows.
    struct Step {
        const char *name;
        LONG level;
    } steps[] = {{"DirectReadVolumeBitmap", 9}, {"MarkDestAllocated", 4}, {"WriteVolumeBitMap", 7},
                 {"MoveFileClusters", 6},       {"UpdateFrs", 6},         {"MarkFileUnallocated", 4},
                 {"WriteVolumeBitmap", 7}};
    for (LONG level : {3, 4, 6, 7, 9}) {
        SCOPED_TRACE("level " + std::to_string(level));
        LONGLONG n = fragmented_.at((size_t)level % fragmented_.size());
        ASSERT_TRUE(movetest::LoadFile(n));
        LONGLONG destination = movetest::FindDestination(VolData.NumberOfClusters);
        ASSERT_GE(destination, 0);
        lLogLevel = level;
        bScreenLog = TRUE;
        BOOL ok = FALSE;
        std::string s = Screen([&] { ok = NTFSMoveFile(destination); });
        lLogLevel = 0;
        bScreenLog = FALSE;
        ASSERT_TRUE(ok);
        size_t at = 0;
        for (const Step &step : steps) {
            std::string trace = "->" + std::string(step.name) + "\n";
            size_t found = s.find(trace, at);
            if (level >= step.level) {
                ASSERT_NE(found, std::string::npos) << step.name << " in order in:\n" << s;
                size_t routine = s.rfind("NTFSMoveFile:", found);
                ASSERT_NE(routine, std::string::npos) << step.name;
                std::string line = s.substr(routine + 13, found - routine - 13);
                EXPECT_TRUE(!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                    << step.name << ": the source line, got '" << line << "'";
                at = found + trace.size();
            } else {
                EXPECT_EQ(s.find(trace), std::string::npos) << step.name;
            }
        }
        EXPECT_EQ(s.find("WriteUpdatedFRS:") != std::string::npos, level >= 8);
    }
}

TEST_P(MoveImage, FailedRecordRewriteFreesTheDestinationAndKeepsTheFile) {
    LONGLONG n = fragmented_.at(0);
    ASSERT_TRUE(movetest::LoadFile(n));
    std::vector<RefRun> old = ListRuns();
    LONGLONG destination = movetest::FindDestination(VolData.NumberOfClusters);
    ASSERT_GE(destination, 0);
    // Entries that do not name the attribute of the record: the rewrite
    // refuses before writing the record.
    for (LONGLONG e = 0; e < VolData.NumberOfExtents; e++) VolData.pExtentList[e].AttributeIndex += 1;
    BOOL ok = TRUE;
    Screen([&] { ok = NTFSMoveFile(destination); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(ListRuns(), old) << "the entries describe the old place again";
    for (LONGLONG c = destination; c < destination + VolData.NumberOfClusters; c++)
        ASSERT_FALSE(movetest::BitSet(c)) << "destination cluster " << c << " freed in memory";
    EXPECT_EQ(glFileStats[2 + 16], 0);
    CheckVolume(false);
    EXPECT_EQ(AllRuns(Pieces(after_, (uint64_t)n)), old);
}

// The other non-resident attributes of a file spread over two records (its
// attribute list, its security descriptor and an extended attribute), of a
// directory (its index bitmap) and of the MFT (its $BITMAP): moved as one
// block, group after group in list order, each attribute keeping its value;
// after record 0 the mirror is in step (the kit's checkers compare them).
TEST_P(MoveImage, OtherAttributesMoveBackToBackAndKeepTheirValues) {
    std::vector<LONGLONG> chosen = {MFT_RECORD_MFT};
    for (const auto &[n, r] : before_.records) {
        std::set<uint64_t> records;
        for (const auto &o : r.others) records.insert(o.record);
        if (n >= 16 && (records.size() >= 2 || (r.directory && !r.others.empty())) && chosen.size() < 3)
            chosen.push_back((LONGLONG)n);
    }
    ASSERT_EQ(chosen.size(), 3u) << "the MFT, a file of two records and a directory";
    std::map<LONGLONG, std::vector<RefRun>> packed;
    for (LONGLONG n : chosen) {
        ASSERT_TRUE(movetest::LoadFile(n)) << n;
        std::set<LONGLONG> records;
        std::vector<RefRun> runs;
        for (LONGLONG e = 0; e < VolData.AttribExtentCount; e++) {
            records.insert(VolData.pAttribExtentList[e].FileRecord);
            runs.push_back({VolData.pAttribExtentList[e].StartingLcn, VolData.pAttribExtentList[e].ClusterCount});
        }
        bool file = n != MFT_RECORD_MFT && !before_.records.at((uint64_t)n).directory;
        EXPECT_EQ(records.size(), file ? 2u : 1u) << n;
        LONGLONG destination = movetest::FindDestination(VolData.AttribClusters);
        ASSERT_GE(destination, 0);
        BOOL ok = FALSE;
        std::string screen = Screen([&] { ok = NTFSMoveAttrib(destination); });
        ASSERT_TRUE(ok) << n << screen;
        EXPECT_NE(screen.find("non-resident attributes (" + std::string(8 - std::to_string(n).size(), '0') +
                              std::to_string(n) + ") to LCN"),
                  std::string::npos)
            << screen;
        EXPECT_EQ(VolData.FileRecordNumber, n);
        packed[n] = Packed(runs, destination);
        if (n == MFT_RECORD_MFT) {
            ASSERT_TRUE(SaveMFTExtentList());
            ASSERT_TRUE(SyncNTFSMirror());
        }
    }
    EXPECT_EQ(glFileStats[3], 3);
    // The MFT bitmap and extent list in memory still describe the disk.
    std::vector<uint8_t> mftBitmap((size_t)(VolData.TotalFileRecords + 7) / 8);
    memcpy(mftBitmap.data(), GlobalLock(VolData.hMftBitmap), mftBitmap.size());
    GlobalUnlock(VolData.hMftBitmap);
    std::vector<RefRun> mftList;
    for (LONGLONG e = 0; e < VolData.MftExtentCount; e++)
        mftList.push_back({VolData.pMftExtentList[e].StartingLcn, VolData.pMftExtentList[e].ClusterCount});
    CheckVolume(false);
    EXPECT_EQ(mftList, after_.mftRuns);
    const auto &mftOthers = after_.records.at(MFT_RECORD_MFT).others;
    ASSERT_FALSE(mftOthers.empty());
    ASSERT_GE(mftOthers[0].value.size(), mftBitmap.size());
    EXPECT_TRUE(std::equal(mftBitmap.begin(), mftBitmap.end(), mftOthers[0].value.begin()));
    for (LONGLONG n : chosen) {
        std::vector<RefRun> now, old;
        for (const auto &o : after_.records.at((uint64_t)n).others) now.insert(now.end(), o.runs.begin(), o.runs.end());
        std::sort(now.begin(), now.end(), [](const RefRun &a, const RefRun &b) { return a.lcn < b.lcn; });
        EXPECT_EQ(now, packed[n]) << "record " << n << ": one run per entry, back to back";
        const auto &was = before_.records.at((uint64_t)n).others, &is = after_.records.at((uint64_t)n).others;
        ASSERT_EQ(was.size(), is.size());
        for (size_t i = 0; i < was.size(); i++) {
            EXPECT_EQ(is[i].record, was[i].record) << "record " << n << ": attribute " << i << " stays in its record";
            EXPECT_TRUE(is[i].value == was[i].value) << "record " << n << ": attribute " << i << " keeps its value";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clusters, MoveImage, testing::Values(512, 4096),
                         [](const testing::TestParamInfo<LONGLONG> &i) { return std::to_string(i.param); });

}  // namespace
