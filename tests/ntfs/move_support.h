// Helpers of the move engine's tests: the run-wide buffers a move needs
// (allocated as the volume setup does) for tests without a file system, the
// volume set up by Initialize and InitializeDefrag for tests on NTFS images,
// and a machine whose drive C: is an image file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ntfs_records.h"

namespace frametest {
class Machine;
}

namespace movetest {

// Allocates pMoveBuffer and pFrsBuffer (2 × BytesPerSector + 64 KB, the
// pointers sector-aligned) and a bitmap block of VolumeBitmapBlockBytes()
// bytes under VolData.hVolumeBitmap (or `blockBytes` when given), all bits
// clear but those past TotalClusters. Needs the geometry in VolData.
bool AllocateMoveBuffers(LONGLONG blockBytes = 0);
// Releases what AllocateMoveBuffers and SetUpVolume allocated.
void ReleaseMoveBuffers();

// The bit of cluster c in the in-memory bitmap.
bool BitSet(LONGLONG c);
void SetBits(LONGLONG first, LONGLONG count, bool value);

// The volume setup of a run (Initialize and InitializeDefrag, without a
// paging-file option) on the drive C: of the machine NT_MACHINE names. Fails
// the calling test on any error.
void SetUpVolume();
// The teardown of a run (OffLineExit): closes the volume, releases
// everything.
void TearDownVolume();

// Reads the current file (record `frn`) with the raw family into VolData;
// returns false when it cannot be read or has no extents.
bool LoadFile(LONGLONG frn);

// Reads, with the raw family and its output kept off the screen, the next
// in-use record from *frn on into VolData; *frn becomes its number. False
// at the end of the MFT; *read tells whether the record could be read.
bool ReadNextRecord(LONGLONG *frn, BOOL *read);

// First-fit free run of `clusters` clusters outside the MFT zone, from the
// in-memory bitmap (re-read from disk first); -1 when there is none.
LONGLONG FindDestination(LONGLONG clusters, LONGLONG from = 0);

// A machine folder (with the registry keys a run reads) whose drive C: is
// the image file c.img of a scratch folder in memory (/dev/shm when it can
// be had: every run ends by flushing the volume), which the test provides.
// NT_MACHINE names the machine while it lives; both folders are removed
// with everything in them at destruction.
class ImageMachine {
public:
    ImageMachine();
    ~ImageMachine();
    const std::string &folder() const;
    std::string image() const { return scratch_ + "/c.img"; }
    bool ok() const;

private:
    std::string scratch_;
    std::unique_ptr<frametest::Machine> machine_;
};

}  // namespace movetest
