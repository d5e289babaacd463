// Crash consistency of the three movers, the way a power cut would test
// them: a move (a file's data in one record or in several, a directory's
// index, the other attributes of a file spread over two records, record 0's
// $BITMAP, an extent of the MFT, the whole MFT stage) is run once with the raw writes logged to
// count them, then once per write point k on a fresh copy of the volume,
// stopped by the platform in place of its k-th raw write
// (NT_FAIL_WRITE_AT); inside a long copy, where one write leaves the same
// state as the next, a sample of them. After every stop the volume is checked: the image
// kit's checkers (ntfsresize, ntfs-3g.probe, ntfsfix) and every file's
// content must pass, with lost clusters allowed; every record's runs are
// cross-checked against $Bitmap (no referenced cluster free, none referenced
// twice); every directory lists the same names and record numbers. Every run
// is a child process of the test, as a boot would be; the test itself never
// opens the volume.
//
// At every write point stopped at, the write is also torn, as a power cut
// during a multi-sector write would tear it (NT_TORN_WRITE_AT): after its
// first K sectors, for every K that leaves a state neither the stop before
// it nor the whole write leaves (every such K for a write of 4 KB at most;
// one in the middle for a longer one). Each write is told by where it
// lands on the volume as the stop before it left it: the mirror, the MFT
// (a record write), $Bitmap, or elsewhere (data). A torn data or bitmap
// write must leave what a stop leaves; a record write torn inside a record
// exactly that record failing its update-sequence check, which the run's
// own reader refuses (the volume is refused before anything is written)
// and libntfs-3g detects, with every other file intact (record 0 torn,
// libntfs-3g cannot mount the volume: the mirror still holds the record as
// it was, and with it put back the volume is sound); a torn mirror write a
// volume libntfs-3g refuses and that is sound once the mirror is repaired.
// A bitmap write changes more than one sector only when the runs it marks
// or frees lie 4,096 clusters apart or more (a sector of bits): of these
// moves, the file in several records on 512-byte clusters makes such writes,
// and there a torn bitmap write must be met; elsewhere the stops before and
// after a bitmap write cover it.
//
// One stop cannot leave the MFT mirror in step with record 0: the one
// between the write of record 0 and the write of the mirror that follows it
// at once. There the mirror must hold the record as it was, so that the
// repair every checker makes (record 0 copied to the mirror, as ntfsfix
// does) gives a sound volume. The MFT stage, stopped anywhere, is run a
// second time on the volume as the stop left it: it must complete and
// leave the volume sound (it copies record 0 to the mirror first).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>

#include <imgkit/imgkit.h>

#include "bootntfs.h"
#include "internal.h"
#include "move_reference.h"
#include "move_support.h"
#include "ntfs3g_reference.h"
#include "shell.h"

using namespace ntfstest;

namespace {

enum class Mover { FileInOneRecord, FileInSeveralRecords, Directory, Attributes, MftBitmap, MftExtent, MftStage };

struct CrashCase {
    const char *name;
    uint32_t cluster;
    Mover mover;
    imgkit::Profile profile;
    LONGLONG minimumGroups;
    bool bitmapTears = false;  // some bitmap write changes sectors far apart, and is torn between them
};

// What the counting run chose and found.
struct Plan {
    LONGLONG record = -1, destination = -1, index = -1, groups = 0;
    LONGLONG mirrorOffset = -1;             // byte offset of the MFT mirror on the volume
    LONGLONG copyFirst = -1, copyEnd = -1;  // byte range the data is copied to
    LONGLONG recordSize = 0;                // bytes in a file record
};

// The base image in a scratch folder, and a machine whose drive C: is the
// work copy of it.
struct Bench {
    imgkit::ScratchDir scratch;
    movetest::ImageMachine machine;
    std::string base, work, stopped, folder, plan, log;
    imgkit::Manifest manifest;
    std::map<uint64_t, std::set<std::string>> paths;
    uint32_t cluster;

    explicit Bench(const CrashCase &c) : cluster(c.cluster) {
        if (!machine.ok()) throw std::runtime_error("cannot make the machine");
        base = scratch.file("base.img");
        work = machine.image();
        stopped = scratch.file("stopped.img");
        folder = machine.folder();
        plan = scratch.file("plan.txt");
        log = scratch.file("writes.log");
        imgkit::make_ntfs(base, 16 << 20, c.cluster);
        manifest = imgkit::fill(base, c.profile, 23);
        std::string error;
        paths = ntfsref::ListPaths(base, &error);
        if (!error.empty() || paths.empty()) throw std::runtime_error("cannot list the base image: " + error);
    }
};

// Runs fn in a child process and returns its exit code (-1 when it did not
// exit normally).
template <class Fn>
int InChild(Fn fn) {
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        int code = fn();
        fflush(stdout);
        _exit(code);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Groups of runs in a list: consecutive entries of one record, type and position.
LONGLONG Groups(const EXTENT_LIST *list, LONGLONG count) {
    LONGLONG groups = 0;
    for (LONGLONG e = 0; e < count; e++)
        if (e == 0 || list[e].FileRecord != list[e - 1].FileRecord ||
            list[e].AttributeType != list[e - 1].AttributeType || list[e].AttributeIndex != list[e - 1].AttributeIndex)
            groups++;
    return groups;
}

LONGLONG RecordsOf(const EXTENT_LIST *list, LONGLONG count) {
    std::set<LONGLONG> records;
    for (LONGLONG e = 0; e < count; e++) records.insert(list[e].FileRecord);
    return (LONGLONG)records.size();
}

// The mover of the case on the current file, and the refresh of the MFT
// extent list and mirror after a change to record 0, as the stages do it.
BOOL Act(Mover mover, const Plan &plan) {
    BOOL ok = FALSE;
    Screen([&] {
        switch (mover) {
        case Mover::FileInOneRecord:
        case Mover::FileInSeveralRecords:
        case Mover::Directory:
            ok = NTFSMoveFile(plan.destination);
            break;
        case Mover::Attributes:
        case Mover::MftBitmap:
            ok = NTFSMoveAttrib(plan.destination);
            break;
        case Mover::MftExtent:
            ok = NTFSMoveExtent(plan.destination, plan.index);
            break;
        case Mover::MftStage: {
            LONG mftOpt = 1;
            BYTE *mftBitmap = (BYTE *)GlobalLock(VolData.hMftBitmap);
            GlobalUnlock(VolData.hMftBitmap);
            ok = PartialDefragMFT(0, mftBitmap, VolData.pExtentList[0].StartingLcn, VolData.NumberOfClusters, &mftOpt);
            return;  // the stage keeps the MFT extent list and the mirror in step itself
        }
        }
        if (plan.record == MFT_RECORD_MFT) {
            VolData.FileRecordNumber = MFT_RECORD_MFT;
            ok = SaveMFTExtentList() && SyncNTFSMirror() && ok;
        }
    });
    return ok;
}

// In the child: the volume set up as for a run, the file read with the raw
// family, and the move. Exit codes: 0 moved, 1 the move failed, 2 the set-up
// failed.
int MoveInChild(const Bench &b, Mover mover, const Plan &plan) {
    setenv("NT_MACHINE", b.folder.c_str(), 1);
    movetest::SetUpVolume();
    if (testing::Test::HasFatalFailure() || !movetest::LoadFile(plan.record)) return 2;
    BOOL ok = Act(mover, plan);
    movetest::TearDownVolume();
    return ok ? 0 : 1;
}

// In the child: chooses what moves (the candidate with the most groups) and
// its destination, writes them to the plan, and moves with every raw write
// logged.
int PlanInChild(const Bench &b, Mover mover) {
    setenv("NT_MACHINE", b.folder.c_str(), 1);
    setenv("NT_WRITE_LOG", b.log.c_str(), 1);
    movetest::SetUpVolume();
    if (testing::Test::HasFatalFailure()) return 2;
    Plan best;
    if (mover == Mover::MftBitmap || mover == Mover::MftExtent || mover == Mover::MftStage) {
        if (!movetest::LoadFile(MFT_RECORD_MFT)) return 3;
        best.record = MFT_RECORD_MFT;
        best.index = VolData.NumberOfExtents - 1;
        best.groups = mover == Mover::MftBitmap ? Groups(VolData.pAttribExtentList, VolData.AttribExtentCount) : 1;
        if (mover != Mover::MftBitmap && best.index < 1) return 3;  // the MFT in one piece
    } else {
        BOOL read = FALSE;
        for (LONGLONG n = 16; movetest::ReadNextRecord(&n, &read); n++) {
            if (!read || VolData.bResident) continue;
            if (((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)->ReferenceCount == 0) continue;
            LONGLONG groups = 0;
            if (mover == Mover::Attributes) {
                if (RecordsOf(VolData.pAttribExtentList, VolData.AttribExtentCount) < 2) continue;
                groups = Groups(VolData.pAttribExtentList, VolData.AttribExtentCount);
            } else {
                if (VolData.bCompressed || !VolData.bFragmented) continue;
                if (VolData.bDirectory != (mover == Mover::Directory)) continue;
                if (mover == Mover::FileInOneRecord && (!VolData.bNonResident || VolData.NumberOfExtents > 12))
                    continue;
                if (mover == Mover::FileInSeveralRecords && !(VolData.bHugeFile || VolData.bMegaFile)) continue;
                groups = Groups(VolData.pExtentList, VolData.NumberOfExtents);
                if (mover == Mover::FileInOneRecord) groups = VolData.NumberOfExtents;  // the most runs
            }
            if (groups <= best.groups) continue;
            best.record = n;
            best.groups = groups;
        }
        if (best.record < 0 || !movetest::LoadFile(best.record)) return 3;
        if (mover == Mover::FileInOneRecord) best.groups = 1;
    }
    LONGLONG clusters = VolData.NumberOfClusters;
    if (mover == Mover::Attributes || mover == Mover::MftBitmap) clusters = VolData.AttribClusters;
    if (mover == Mover::MftExtent) clusters = VolData.pExtentList[best.index].ClusterCount;
    best.destination = movetest::FindDestination(clusters);
    best.mirrorOffset = VolData.Mft2StartLcn * VolData.BytesPerCluster;
    best.recordSize = VolData.BytesPerFRS;
    best.copyFirst = best.destination * VolData.BytesPerCluster;
    best.copyEnd = (best.destination + clusters) * VolData.BytesPerCluster;
    if (best.destination < 0) return 3;
    if (mover == Mover::MftStage) best.copyFirst = best.copyEnd = -1;  // small copies, every write stopped at
    BOOL ok = Act(mover, best);
    if (mover == Mover::MftStage) best.groups = glFileStats[4];  // the extents the stage moved
    std::ofstream(b.plan) << best.record << " " << best.destination << " " << best.index << " " << best.groups << " "
                          << best.mirrorOffset << " " << best.copyFirst << " " << best.copyEnd << " " << best.recordSize
                          << "\n";
    movetest::TearDownVolume();
    return ok ? 0 : 1;
}

// The raw writes logged, in order: byte offset and length.
struct Write {
    LONGLONG offset, length;
};
std::vector<Write> WritesLogged(const std::string &file) {
    std::ifstream in(file);
    std::string line;
    std::vector<Write> writes;
    while (std::getline(in, line)) {
        char drive;
        unsigned long long offset = 0, length = 0;
        if (sscanf(line.c_str(), "%c: %llu %llu", &drive, &offset, &length) == 3)
            writes.push_back({(LONGLONG)offset, (LONGLONG)length});
    }
    return writes;
}

// Checks the work image after a run; `lost` allows clusters without owner.
void CheckWork(const Bench &b, bool lost, const std::string &when) {
    imgkit::CheckResult r = imgkit::check(b.work, b.manifest);
    if (lost)
        EXPECT_TRUE(r.code == imgkit::kConsistent || r.code == imgkit::kLostClusters) << when << ": " << r.summary;
    else
        EXPECT_EQ(r.code, imgkit::kConsistent) << when << ": " << r.summary;
    moveref::CrossCheck c = moveref::Check(b.work);
    for (size_t i = 0; i < c.errors.size() && i < 3; i++) ADD_FAILURE() << when << ": " << c.errors[i];
    EXPECT_GT(c.records, 100u) << when;
    std::string error;
    EXPECT_TRUE(ntfsref::ListPaths(b.work, &error) == b.paths) << when << ": every directory lists as before";
    EXPECT_EQ(error, "") << when;
}

// At the stop in place of the mirror's write: record 0 is written, the
// mirror still holds it as it was. That, and nothing else, must be wrong;
// the checkers' repair then leaves a sound volume.
void CheckStaleMirror(const Bench &b, const std::string &when) {
    imgkit::CheckResult r = imgkit::check(b.work, b.manifest);
    EXPECT_EQ(r.code, imgkit::kInconsistent) << when << ": " << r.summary;
    bool mirror = false;
    for (const auto &l : r.details) mirror |= l.find("$MFTMirr does not match $MFT (record 0)") != std::string::npos;
    EXPECT_TRUE(mirror) << when << ": " << r.summary;
    testshell::Result fix = testshell::Run("ntfsfix " + testshell::Quote(b.work));
    EXPECT_EQ(fix.code, 0) << fix.out;
    CheckWork(b, true, when + ", after ntfsfix copied record 0 to the mirror");
}

std::string ReadImage(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// In the child: the volume set up as a run sets it up. Exit codes: 0 set
// up, 1 refused; the screen goes to `screen`.
int SetUpInChild(const Bench &b, const std::string &screen) {
    setenv("NT_MACHINE", b.folder.c_str(), 1);
    ResetEngine();
    memset(&VolData, 0, sizeof(VolData));
    lPageOpt = 0;
    bLast50 = 0;
    lLogLevel = 1;
    BOOL ok = FALSE;
    std::ofstream(screen) << Screen([&] { ok = Initialize(u"C:") && InitializeDefrag(); });
    OffLineExit();
    return ok ? 0 : 1;
}

// Copies `size` bytes of an image from byte `from` to byte `to`: record 0
// put back from the mirror or the mirror from the MFT, as CHKDSK repairs them.
void CopyBytes(const std::string &image, LONGLONG from, LONGLONG to, LONGLONG size) {
    std::string bytes = ReadImage(image).substr((size_t)from, (size_t)size);
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(to);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

// Where a write lands, on the volume as the stop before it left it.
enum class Kind { Data, Bitmap, Record, Mirror };
const char *const kKinds[] = {"data", "bitmap", "record", "mirror"};

struct Layout {
    std::vector<imgkit::Extent> mft, bitmap;
    LONGLONG cluster = 0;
    // The byte offset in the file of these extents that the volume's byte
    // `offset` holds; -1 when none.
    LONGLONG InFile(const std::vector<imgkit::Extent> &extents, LONGLONG offset) const {
        LONGLONG at = 0;
        for (const imgkit::Extent &e : extents) {
            LONGLONG first = e.lcn * cluster, length = (LONGLONG)e.length * cluster;
            if (e.lcn >= 0 && offset >= first && offset < first + length) return at + offset - first;
            at += length;
        }
        return -1;
    }
};

Kind KindOf(const Layout &l, const Plan &plan, const Write &w) {
    if (w.offset == plan.mirrorOffset) return Kind::Mirror;
    if (l.InFile(l.mft, w.offset) >= 0) return Kind::Record;
    if (l.InFile(l.bitmap, w.offset) >= 0) return Kind::Bitmap;
    return Kind::Data;
}

// The files the manifest holds but for those of record `a` or `b` and
// those reached through them.
imgkit::Manifest FilesBut(const Bench &b, LONGLONG a, LONGLONG c) {
    imgkit::Manifest others = b.manifest;
    others.files.clear();
    auto through = [&](LONGLONG record, const std::string &path) {
        auto it = b.paths.find((uint64_t)record);
        if (it == b.paths.end()) return false;
        for (const std::string &p : it->second)
            if (path == p || path.compare(0, p.size() + 1, p + "/") == 0) return true;
        return false;
    };
    for (const imgkit::ManifestEntry &e : b.manifest.files) {
        std::string path = imgkit::posix_path(e.path);
        if (!through(a, path) && !through(c, path)) others.files.push_back(e);
    }
    return others;
}

// After a write torn inside record `torn`: that record, and nothing else,
// fails its update-sequence check, for libntfs-3g and for the run's reader,
// which refuses the volume; every file but the one that moved and those of
// the torn record reads back as it was. Record 0 torn, libntfs-3g cannot
// mount the volume at all: there the mirror, written after it, must still
// hold the record as it was, and with it put back (the repair CHKDSK
// makes) the volume is sound but for lost clusters.
void CheckTornRecord(const Bench &b, const Plan &plan, const Layout &l, LONGLONG torn, const std::string &when) {
    std::string screen = b.folder + "/setup.txt";
    EXPECT_EQ(InChild([&] { return SetUpInChild(b, screen); }), 1) << when << ": a run must refuse the volume";
    if (torn == MFT_RECORD_MFT) {
        imgkit::CheckResult r = imgkit::check(b.work, b.manifest);
        EXPECT_EQ(r.code, imgkit::kInconsistent) << when << ": " << r.summary;
        EXPECT_NE(r.summary.find("Incomplete multi-sector transfer"), std::string::npos) << when << ": " << r.summary;
        CopyBytes(b.work, plan.mirrorOffset, l.mft.front().lcn * l.cluster, plan.recordSize);
        CheckWork(b, true, when + ", after record 0 was put back from the mirror");
        return;
    }
    EXPECT_NE(ReadImage(screen).find("Info: record " + std::to_string(torn) + " cannot be read\n"), std::string::npos)
        << when << ": " << ReadImage(screen);
    moveref::CrossCheck x = moveref::Check(b.work);
    std::string expected = "record " + std::to_string(torn) + " fails its update-sequence check";
    EXPECT_EQ(x.errors.size(), 1u) << when;
    for (const std::string &e : x.errors) EXPECT_EQ(e.find(expected), 0u) << when << ": " << e;
    imgkit::Manifest others = FilesBut(b, torn, plan.record);
    imgkit::CheckResult r = imgkit::check(b.work, others);
    EXPECT_EQ(r.files_checked, others.files.size()) << when << ": " << r.summary;
    EXPECT_EQ(r.files_differing, 0u) << when << ": " << r.summary;
}

// After a torn write of the MFT mirror: libntfs-3g refuses the volume for
// it, and once the mirror is repaired the volume is sound but for lost
// clusters. ntfsfix repairs a mirror that differs from the MFT, but stops
// at one whose record 0 fails its update-sequence check ("Incomplete multi
// sector transfer detected"); there the mirror is copied from the MFT, as
// CHKDSK repairs it, and ntfsfix must then pass.
void CheckTornMirror(const Bench &b, const Plan &plan, const Layout &l, const std::string &when) {
    imgkit::CheckResult r = imgkit::check(b.work, b.manifest);
    EXPECT_EQ(r.code, imgkit::kInconsistent) << when << ": " << r.summary;
    testshell::Result fix = testshell::Run("ntfsfix " + testshell::Quote(b.work));
    if (fix.code != 0) {
        EXPECT_NE(fix.out.find("$MFTMirr error: Incomplete multi sector transfer detected"), std::string::npos)
            << when << ": " << fix.out;
        CopyBytes(b.work, l.mft.front().lcn * l.cluster, plan.mirrorOffset, plan.recordSize);
        fix = testshell::Run("ntfsfix " + testshell::Quote(b.work));
        EXPECT_EQ(fix.code, 0) << when << ": " << fix.out;
    }
    CheckWork(b, true, when + ", after the mirror was repaired");
}

// What the stops and torn writes of one case came to, per kind of write,
// and the record tears that left a record failing its check.
struct Tears {
    int stops[4] = {}, points[4] = {}, failing = 0;
};

// Tears write k (stopped at already: `before` is the image that stop left)
// after every K sectors that give a state of its own, and checks each.
void TearWrite(const Bench &b, Mover mover, const Plan &plan, int k, const Write &w, const std::string &before,
               Tears *tears) {
    const LONGLONG sector = 512;
    auto tear = [&](LONGLONG sectors) {
        imgkit::copy_image(b.base, b.work);
        return InChild([&] {
            setenv("NT_TORN_WRITE_AT",
                   (std::to_string(ntp::raw_write_count() + k) + ":" + std::to_string(sectors)).c_str(), 1);
            return MoveInChild(b, mover, plan);
        });
    };
    Layout l;
    l.cluster = (LONGLONG)b.cluster;
    l.mft = imgkit::file_extents(before, "\\$MFT");
    l.bitmap = imgkit::file_extents(before, "\\$Bitmap");
    Kind kind = KindOf(l, plan, w);
    tears->stops[(int)kind]++;
    std::string when = "write " + std::to_string(k) + " (" + kKinds[(int)kind] + ") torn";
    // The whole write landed: the sectors it changes.
    ASSERT_EQ(tear(w.length / sector), 99) << when << ": the run must stop there";
    std::string whole = ReadImage(b.work), was = ReadImage(before);
    std::vector<LONGLONG> changed;
    for (LONGLONG s = 0; s < w.length / sector; s++)
        if (whole.compare((size_t)(w.offset + s * sector), (size_t)sector, was, (size_t)(w.offset + s * sector),
                          (size_t)sector) != 0)
            changed.push_back(s);
    if (changed.size() < 2) return;  // every tear leaves the state before or after it
    LONGLONG first = changed.front() + 1, last = changed.back();
    if (w.length > 4096) first = last = (first + last) / 2;
    for (LONGLONG landed = first; landed <= last; landed++) {
        std::string at =
            when + " after " + std::to_string(landed) + " of " + std::to_string(w.length / sector) + " sectors";
        ASSERT_EQ(tear(landed), 99) << at << ": the run must stop there";
        tears->points[(int)kind]++;
        if (kind == Kind::Mirror) {
            CheckTornMirror(b, plan, l, at);
            continue;
        }
        // A tear inside a record the write changes leaves that record torn
        // (every sector of a record written carries its new update-sequence
        // number); a tear elsewhere leaves what a stop leaves.
        LONGLONG split = w.offset + landed * sector, inMft = l.InFile(l.mft, split);
        bool inside = false;
        if (kind == Kind::Record && inMft % plan.recordSize != 0) {
            LONGLONG start = (split - inMft % plan.recordSize - w.offset) / sector;
            for (LONGLONG s : changed) inside |= s >= start && s < start + plan.recordSize / sector;
        }
        if (!inside) {
            CheckWork(b, true, at);
            continue;
        }
        tears->failing++;
        CheckTornRecord(b, plan, l, inMft / plan.recordSize, at);
    }
}

// The case's name in the test's name and messages.
void PrintTo(const CrashCase &c, std::ostream *os) { *os << c.name; }

class CrashMove : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashMove, StoppedAtEveryWriteTheVolumeStaysSound) {
    const CrashCase &c = GetParam();
    std::unique_ptr<Bench> b;
    try {
        b = std::make_unique<Bench>(c);
    } catch (const std::exception &e) {
        FAIL() << e.what();
    }
    // The counting run: the whole move, every raw write logged.
    imgkit::copy_image(b->base, b->work);
    ASSERT_EQ(InChild([&] { return PlanInChild(*b, c.mover); }), 0) << "the move itself";
    Plan plan;
    std::ifstream(b->plan) >> plan.record >> plan.destination >> plan.index >> plan.groups >> plan.mirrorOffset >>
        plan.copyFirst >> plan.copyEnd >> plan.recordSize;
    ASSERT_GE(plan.groups, c.minimumGroups) << "record " << plan.record;
    std::vector<Write> logged = WritesLogged(b->log);
    int writes = (int)logged.size();
    bool recordZero = plan.record == MFT_RECORD_MFT;
    ASSERT_GE(writes, 4 * plan.groups + (recordZero ? 1 : 0)) << "bitmap twice, data and record per group";
    CheckWork(*b, false, "after the whole move");
    printf("%s: record %lld, %lld groups, %d write points\n", c.name, (long long)plan.record, (long long)plan.groups,
           writes);

    int mirrorWrites = 0;
    // A long copy (more than 16 writes in a row to the destination) is a run
    // of writes that leave the same state behind: of those, the first, the
    // last and every 16th are stopped at.
    std::vector<bool> skip((size_t)writes + 1, false);
    for (int a = 1; a <= writes;) {
        int b = a;
        auto copying = [&](int k) {
            return logged[(size_t)k - 1].offset >= plan.copyFirst && logged[(size_t)k - 1].offset < plan.copyEnd;
        };
        if (!copying(a)) {
            a++;
            continue;
        }
        while (b < writes && copying(b + 1)) b++;
        if (b - a + 1 > 16)
            for (int k = a + 1; k < b; k++) skip[(size_t)k] = (k - a) % 16 != 0;
        a = b + 1;
    }
    int stops = 0;
    Tears tears;
    for (int k = 1; k <= writes; k++) {
        if (skip[(size_t)k]) continue;
        stops++;
        std::string when = "stopped at write " + std::to_string(k) + " of " + std::to_string(writes);
        imgkit::copy_image(b->base, b->work);
        int code = InChild([&] {
            setenv("NT_FAIL_WRITE_AT", std::to_string(ntp::raw_write_count() + k).c_str(), 1);
            return MoveInChild(*b, c.mover, plan);
        });
        ASSERT_EQ(code, 99) << when << ": the run must stop there";
        bool again = c.mover == Mover::MftStage;
        imgkit::copy_image(b->work, b->stopped);
        if (logged[(size_t)k - 1].offset == plan.mirrorOffset) {
            ASSERT_TRUE(recordZero) << when << ": only a change to record 0 writes the mirror";
            mirrorWrites++;
            CheckStaleMirror(*b, when);
        } else {
            CheckWork(*b, true, when);
        }
        if (again) {
            imgkit::copy_image(b->stopped, b->work);
            EXPECT_EQ(InChild([&] { return MoveInChild(*b, c.mover, plan); }), 0) << when << ": a second run";
            CheckWork(*b, true, when + ", then a second run");
        }
        TearWrite(*b, c.mover, plan, k, logged[(size_t)k - 1], b->stopped, &tears);
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(mirrorWrites, recordZero ? plan.groups : 0) << "the mirror is written right after each write of record 0";
    // Every case rewrites records, so some tear leaves one torn; every
    // change to record 0 is followed by a mirror write that can be torn.
    EXPECT_GT(tears.failing, 0) << "no torn record";
    if (recordZero) {
        EXPECT_GT(tears.points[(int)Kind::Mirror], 0) << "no torn mirror";
    }
    if (c.bitmapTears) {
        EXPECT_GT(tears.points[(int)Kind::Bitmap], 0) << "no torn bitmap write";
    }
    printf("%s: stopped at %d of %d write points (%d data, %d bitmap, %d record, %d mirror); torn at %d data, %d "
           "bitmap, %d record (%d leaving the record failing its check), %d mirror write points\n",
           c.name, stops, writes, tears.stops[0], tears.stops[1], tears.stops[2], tears.stops[3], tears.points[0],
           tears.points[1], tears.points[2], tears.failing, tears.points[3]);
}

imgkit::Profile WithList(bool resident) {
    imgkit::Profile p = imgkit::Profile::basic();
    if (resident) p.attrlist_resident_fragments = 300;
    if (!resident) {
        p.attrlist_nonresident_fragments = 1000;
        p.attrlist_ea = true;
    }
    return p;
}

imgkit::Profile WithMftFragments() {
    imgkit::Profile p = imgkit::Profile::basic();
    p.mft_fragments = 4;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Movers, CrashMove,
    testing::Values(CrashCase{"FileInOneRecord4096", 4096, Mover::FileInOneRecord, imgkit::Profile::basic(), 1},
                    CrashCase{"FileInOneRecord512", 512, Mover::FileInOneRecord, imgkit::Profile::basic(), 1},
                    CrashCase{"FileInSeveralRecords", 4096, Mover::FileInSeveralRecords, WithList(true), 2},
                    CrashCase{"FileInSeveralRecords512", 512, Mover::FileInSeveralRecords, WithList(true), 2, true},
                    CrashCase{"DirectoryIndex", 1024, Mover::Directory, imgkit::Profile::basic(), 1},
                    CrashCase{"AttributesInTwoRecords", 512, Mover::Attributes, WithList(false), 2},
                    CrashCase{"MftBitmap", 4096, Mover::MftBitmap, imgkit::Profile::basic(), 1},
                    CrashCase{"MftExtent", 1024, Mover::MftExtent, WithMftFragments(), 1},
                    CrashCase{"MftStage", 512, Mover::MftStage, WithMftFragments(), 2}),
    [](const testing::TestParamInfo<CrashCase> &i) { return std::string(i.param.name); });

}  // namespace
