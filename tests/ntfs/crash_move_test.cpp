// Crash consistency of a move, the way a power cut would test it: a move of
// a fragmented file (its runs in one record, or in several records) is run
// once with the raw writes logged to count them, then once per write point
// k on a fresh copy of the volume, stopped by the platform in place of its
// k-th raw write (NT_FAIL_WRITE_AT). After every stop the volume is checked:
// the image kit's checkers (ntfsresize, ntfs-3g.probe, ntfsfix) and every
// file's content must pass, with lost clusters allowed; every record's runs
// are cross-checked against $Bitmap (no referenced cluster free, none
// referenced twice). Every run is a child process of the test, as a boot
// would be; the test itself never opens the volume.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include <imgkit/imgkit.h>

#include "internal.h"
#include "move_reference.h"
#include "move_support.h"

using namespace ntfstest;

namespace {

enum class Pick { OneRecord, SeveralRecords };

struct Plan {
    LONGLONG record = -1, destination = -1, pieces = 0, extents = 0;
};

// The base image in a scratch folder, and a machine whose drive C: is the
// work copy of it.
struct Bench {
    imgkit::ScratchDir scratch;
    movetest::ImageMachine machine;
    std::string base, work, folder, plan, log;
    imgkit::Manifest manifest;

    Bench(uint32_t cluster, const imgkit::Profile &profile) {
        if (!machine.ok()) throw std::runtime_error("cannot make the machine");
        base = scratch.file("base.img");
        work = machine.image();
        folder = machine.folder();
        plan = scratch.file("plan.txt");
        log = scratch.file("writes.log");
        imgkit::make_ntfs(base, 16 << 20, cluster);
        manifest = imgkit::fill(base, profile, 23);
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

// In the child: the volume set up as for a run, the file read with the raw
// family, and the move. Exit codes: 0 moved, 1 the move failed, 2 the set-up
// failed.
int MoveInChild(const Bench &b, LONGLONG record, LONGLONG destination) {
    setenv("NT_MACHINE", b.folder.c_str(), 1);
    movetest::SetUpVolume();
    if (testing::Test::HasFatalFailure() || !movetest::LoadFile(record)) return 2;
    BOOL ok = FALSE;
    Screen([&] { ok = NTFSMoveFile(destination); });
    movetest::TearDownVolume();
    return ok ? 0 : 1;
}

// In the child: chooses the file and its destination, writes them to the
// plan, and moves the file with every raw write logged.
int PlanInChild(const Bench &b, Pick pick) {
    setenv("NT_MACHINE", b.folder.c_str(), 1);
    setenv("NT_WRITE_LOG", b.log.c_str(), 1);
    movetest::SetUpVolume();
    if (testing::Test::HasFatalFailure()) return 2;
    Plan best;
    BOOL read = FALSE;
    for (LONGLONG n = 16; movetest::ReadNextRecord(&n, &read); n++) {
        if (!read || VolData.bResident || VolData.bDirectory || VolData.bCompressed || !VolData.bFragmented) continue;
        if (((PFILE_RECORD_SEGMENT_HEADER)VolData.pFileRecord)->ReferenceCount == 0) continue;
        LONGLONG pieces = 0;
        for (LONGLONG e = 0; e < VolData.NumberOfExtents; e++)
            if (e == 0 || VolData.pExtentList[e].FileRecord != VolData.pExtentList[e - 1].FileRecord) pieces++;
        if (pick == Pick::OneRecord) {
            // The file of most runs in its base record, up to 12 of them.
            if (!VolData.bNonResident || VolData.NumberOfExtents > 12 || VolData.NumberOfExtents <= best.extents)
                continue;
        } else if (!(VolData.bHugeFile || VolData.bMegaFile) || pieces <= best.pieces) {
            continue;
        }
        best.record = n;
        best.pieces = pieces;
        best.extents = VolData.NumberOfExtents;
    }
    if (best.record < 0 || !movetest::LoadFile(best.record)) return 3;
    best.destination = movetest::FindDestination(VolData.NumberOfClusters);
    if (best.destination < 0) return 3;
    std::ofstream(b.plan) << best.record << " " << best.destination << " " << best.pieces << " " << best.extents
                          << "\n";
    BOOL ok = FALSE;
    Screen([&] { ok = NTFSMoveFile(best.destination); });
    movetest::TearDownVolume();
    return ok ? 0 : 1;
}

int CountLines(const std::string &file) {
    std::ifstream in(file);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n++;
    return n;
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
}

void StopAtEveryWrite(uint32_t cluster, const imgkit::Profile &profile, Pick pick, LONGLONG minimumPieces) {
    std::unique_ptr<Bench> b;
    try {
        b = std::make_unique<Bench>(cluster, profile);
    } catch (const std::exception &e) {
        FAIL() << e.what();
    }
    // The counting run: the whole move, every raw write logged.
    imgkit::copy_image(b->base, b->work);
    ASSERT_EQ(InChild([&] { return PlanInChild(*b, pick); }), 0) << "the move itself";
    Plan plan;
    std::ifstream(b->plan) >> plan.record >> plan.destination >> plan.pieces >> plan.extents;
    ASSERT_GE(plan.pieces, minimumPieces) << "record " << plan.record;
    int writes = CountLines(b->log);
    ASSERT_GE(writes, 2 * plan.pieces + plan.extents + plan.pieces) << "bitmap twice, data and record per piece";
    CheckWork(*b, false, "after the whole move");
    printf("record %lld: %lld runs in %lld records, %d write points\n", (long long)plan.record, (long long)plan.extents,
           (long long)plan.pieces, writes);

    for (int k = 1; k <= writes; k++) {
        std::string when = "stopped at write " + std::to_string(k) + " of " + std::to_string(writes);
        imgkit::copy_image(b->base, b->work);
        int code = InChild([&] {
            setenv("NT_FAIL_WRITE_AT", std::to_string(ntp::raw_write_count() + k).c_str(), 1);
            return MoveInChild(*b, plan.record, plan.destination);
        });
        ASSERT_EQ(code, 99) << when << ": the run must stop there";
        CheckWork(*b, true, when);
        if (testing::Test::HasFailure()) break;
    }
}

TEST(CrashMove, FileInOneRecordStoppedAtEveryWrite4096) {
    StopAtEveryWrite(4096, imgkit::Profile::basic(), Pick::OneRecord, 1);
}

TEST(CrashMove, FileInOneRecordStoppedAtEveryWrite512) {
    StopAtEveryWrite(512, imgkit::Profile::basic(), Pick::OneRecord, 1);
}

TEST(CrashMove, FileInSeveralRecordsStoppedAtEveryWrite) {
    imgkit::Profile p = imgkit::Profile::basic();
    p.attrlist_resident_fragments = 300;
    StopAtEveryWrite(4096, p, Pick::SeveralRecords, 2);
}

}  // namespace
