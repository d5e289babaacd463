// Helpers of the move engine's tests: the run-wide buffers a move needs
// (allocated as the volume setup does), a volume bitmap block, and the
// volume set up by hand from an NTFS image the way Initialize and
// InitializeDefrag leave it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntfs_records.h"

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

// What the volume setup does before the stage driver runs, on the drive C:
// of the machine NT_MACHINE names: geometry, record buffers, MFT bitmap, the
// MFT's extents, the move buffers, the volume bitmap and the extents of the
// volume bitmap file. Fails the calling test on any error.
void SetUpVolume();
// Closes the volume and releases everything.
void TearDownVolume();

// Reads the current file (record `frn`) with the raw family into VolData;
// returns false when it cannot be read or has no extents.
bool LoadFile(LONGLONG frn);

// First-fit free run of `clusters` clusters outside the MFT zone, from the
// in-memory bitmap (re-read from disk first); -1 when there is none.
LONGLONG FindDestination(LONGLONG clusters, LONGLONG from = 0);

// A machine folder with one image drive "C: image c.img"; the image file is
// given by the test. Removed with everything in it at destruction.
class ImageMachine {
public:
    ImageMachine();
    ~ImageMachine();
    const std::string &folder() const { return folder_; }
    std::string image() const { return folder_ + "/c.img"; }
    bool ok() const { return ok_; }

private:
    std::string folder_;
    bool ok_ = false;
};

}  // namespace movetest
