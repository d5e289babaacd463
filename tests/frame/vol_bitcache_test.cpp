// The in-memory volume bitmap kept against a copy of the disk's: random
// sequences of what a run does to it (reads from the disk, marks in memory
// only, a move's marks, the bitmap put back from the copy, writes of the
// changed sectors) against a model that keeps the bits the run must see and
// the bits the disk must hold. After every step the bits as the run sees
// them, the searches over them and what the writes left on the "disk" must
// agree with the model.
#include <random>
#include <vector>

#include "vol_reference.h"
#include "vol_test_support.h"

using voltest::BitmapVolume;

namespace {

class Harness {
public:
    Harness(LONGLONG total, std::mt19937_64 &rng) : v_(total), total_(total), rng_(rng) {
        // The bitmap file: whole 4,096-byte clusters, what lies past the
        // volume's bits is junk the writes must keep.
        LONGLONG used = (total + 7) / 8;
        disk_.resize((size_t)((used + 4095) / 4096 * 4096));
        for (auto &b : disk_) b = (uint8_t)rng_();
        seen_.assign((size_t)total, false);
        onDisk_.assign((size_t)total, false);
        for (LONGLONG c = 0; c < total; c++) onDisk_[(size_t)c] = DiskBit(c);
    }
    bool ok() { return v_.ok(); }

    // A read from the disk: the bitmap in memory and the copy both get it.
    void Read() {
        BYTE *copy = BeginVolumeBitmapCopy((LONGLONG)disk_.size());
        ASSERT_NE(copy, nullptr);
        memcpy(copy, disk_.data(), disk_.size());
        LONGLONG room = VolData.BitmapSizeBits / 8;
        memcpy(v_.bits(), disk_.data(), (size_t)std::min<LONGLONG>(room, (LONGLONG)disk_.size()));
        v_.SetUsed(total_, VolData.BitmapSizeBits);
        KeepVolumeBitmapCopy(TRUE);
        ASSERT_TRUE(VolumeBitmapCopyKept());
        seen_ = onDisk_;
    }
    // A range marked in use in memory only (from a few ranges, so that the
    // same range comes back, as the MFT area does before every search).
    void Mark() {
        LONGLONG a = ranges_[rng_() % 4][0], b = ranges_[rng_() % 4][1];
        if (rng_() % 2) b = a + ranges_[rng_() % 4][1] % 3000;
        if (b > total_) b = total_;
        if (a >= b) return;
        ASSERT_TRUE(MarkZoneUnavailable(a, b - a));
        for (LONGLONG c = a; c < b; c++) seen_[(size_t)c] = true;
    }
    // A move's mark of [a, b), stopping at the first cluster already in that
    // state as MarkDestAllocated and MarkDestUnallocated do.
    void Change() {
        LONGLONG a = (LONGLONG)(rng_() % total_), n = 1 + (LONGLONG)(rng_() % 300);
        if (rng_() % 8 == 0) n += 5000;
        LONGLONG b = std::min(total_, a + n);
        bool use = rng_() % 2;
        VolumeBitsChanging(a, b);
        LONGLONG c = a;
        for (; c < b && seen_[(size_t)c] != use; c++) {
            ASSERT_EQ(v_.Used(c), !use) << "cluster " << c << " as the run sees it";
            if (use)
                v_.SetUsed(c, c + 1);
            else
                v_.SetFree(c, c + 1);
            seen_[(size_t)c] = use;
        }
        VolumeBitsChanged(a, c, !use);
    }
    // The bitmap put back to the disk's from the copy.
    void Restore() {
        ASSERT_TRUE(RestoreVolumeBitmapFromCopy());
        seen_ = onDisk_;
    }
    // A write of the changed sectors (512 bytes each), as WriteVolumeBitmap
    // makes it.
    void Write() {
        BYTE sector[512];
        LONGLONG sectors = 0;
        for (LONGLONG u = NextVolumeBitmapUnitToWrite(-1); u >= 0; u = NextVolumeBitmapUnitToWrite(u)) {
            LONGLONG at = u * VOLUME_BITMAP_UNIT_BYTES;
            if (at >= (total_ + 7) / 8) break;
            if (!ComposeVolumeBitmapBytes(at, 512, sector)) continue;
            memcpy(disk_.data() + at, sector, 512);
            VolumeBitmapBytesWritten(at, 512, sector);
            sectors++;
        }
        VolumeBitmapWritten();
        writes_ += sectors;
        onDisk_ = seen_;
        for (LONGLONG c = 0; c < total_; c++)
            ASSERT_EQ(DiskBit(c), onDisk_[(size_t)c]) << "cluster " << c << " on disk";
    }

    // What the run reads: single clusters, then the run finder and the
    // first-fit skip over the bits (which puts every pending range back).
    void Check(const std::string &when) {
        for (int i = 0; i < 50; i++) {
            LONGLONG c = (LONGLONG)(rng_() % total_);
            ASSERT_EQ(VolumeClusterInUse(c) != FALSE, seen_[(size_t)c]) << when << ", cluster " << c;
        }
        std::vector<uint32_t> model((size_t)(VolData.BitmapSizeBits / 32), 0xFFFFFFFF);
        for (LONGLONG c = 0; c < total_; c++)
            if (!seen_[(size_t)c]) model[(size_t)(c / 32)] &= ~(1u << (c % 32));
        LONGLONG end = rng_() % 3 ? total_ : 1 + (LONGLONG)(rng_() % total_);
        LONGLONG cursor = (LONGLONG)(rng_() % end), refCursor = cursor;
        while (cursor < end) {
            LONGLONG lcn = -1, len = -1;
            FindFreeExtent(v_.bits(), end, &cursor, &lcn, &len);
            volref::Run run;
            volref::FindRun(model.data(), total_, end, &refCursor, &run);
            ASSERT_EQ(lcn, run.lcn) << when;
            ASSERT_EQ(len, run.len) << when;
            ASSERT_EQ(cursor, refCursor) << when;
            if (len == 0) break;
        }
        for (LONGLONG c = 0; c < total_; c++) ASSERT_EQ(v_.Used(c), seen_[(size_t)c]) << when << ", bit " << c;
        LONGLONG from = (LONGLONG)(rng_() % total_), needed = 1 + (LONGLONG)(rng_() % 6000);
        LONGLONG skip = SkipShortFreeRuns(v_.bits(), from, needed), expected = VolData.BitmapSizeBits;
        for (LONGLONG x = from, run = 0; x < total_; x++) {
            run = seen_[(size_t)x] ? 0 : run + 1;
            if (run == needed) {
                expected = std::max(from, x - needed + 1);
                break;
            }
        }
        ASSERT_EQ(skip, expected) << when << ": first run of " << needed << " from " << from;
    }
    LONGLONG writes() const { return writes_; }

private:
    bool DiskBit(LONGLONG c) { return (disk_[(size_t)(c / 8)] >> (c % 8)) & 1; }

    BitmapVolume v_;
    LONGLONG total_;
    std::mt19937_64 &rng_;
    std::vector<uint8_t> disk_;
    std::vector<bool> seen_, onDisk_;  // the bits as the run sees them; as the disk holds them
    LONGLONG ranges_[4][2] = {{100, 9000}, {4096, 20000}, {17, 4200}, {30000, 45000}};
    LONGLONG writes_ = 0;
};

}  // namespace

TEST(VolBitmapCopy, AgreesWithModelThroughMarksMovesRestoresAndWrites) {
    std::mt19937_64 rng(1801);
    LONGLONG writes = 0;
    for (int round = 0; round < 24; ++round) {
        LONGLONG total = 4000 + (LONGLONG)(rng() % 60000);
        Harness h(total, rng);
        ASSERT_TRUE(h.ok());
        h.Read();
        for (int step = 0; step < 60; ++step) {
            std::string when = "round " + std::to_string(round) + " step " + std::to_string(step);
            switch (rng() % 8) {
            case 0:
            case 1:
                h.Mark();
                break;
            case 2:
            case 3:
                h.Change();
                break;
            case 4:
            case 5:
                h.Restore();
                break;
            case 6:
                h.Write();
                break;
            default:
                if (rng() % 4 == 0) h.Read();
                break;
            }
            if (testing::Test::HasFatalFailure()) return;
            if (rng() % 3 == 0) h.Check(when);
            if (testing::Test::HasFatalFailure()) return;
        }
        writes += h.writes();
        ForgetVolumeBitmapCopy();
    }
    EXPECT_GT(writes, 50);  // the writes had changes to send
}
