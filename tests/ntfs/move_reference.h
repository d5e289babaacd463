// The independent side of the move tests, through libntfs-3g: every
// record's runs checked against $Bitmap, file contents, and files the image
// kit does not make. Kept apart from the engine's headers (the library's
// own BOOL and layout names clash with them).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace moveref {

// The clusters of a volume against the runs of every attribute of every
// record in the MFT (base and extension records alike).
struct CrossCheck {
    std::vector<std::string> errors;  // referenced twice, referenced but free, outside the volume, torn records
    uint64_t referenced = 0;          // clusters some record references
    uint64_t lost = 0;                // clusters in use that no record references (allowed)
    uint64_t records = 0;             // in-use records walked
};
CrossCheck Check(const std::string &image);

// The unnamed $DATA of record `inode`; empty with *error set on failure.
std::vector<uint8_t> ReadData(const std::string &image, uint64_t inode, std::string *error);

// Creates "\name" in the root: `size` bytes, written only in the given
// regions (offset, length; multiples of the cluster size), the rest left as
// holes; then clears the file's sparse flag, so that it is a plain file
// whose runs have holes. Returns its record number (0 on failure, *error
// set) and its content in *content.
uint64_t MakeHoledFile(const std::string &image, const std::string &name, uint64_t size,
                       const std::vector<std::pair<uint64_t, uint64_t>> &regions, std::vector<uint8_t> *content,
                       std::string *error);

// Creates `count` empty files with long names in the directory of record
// `directory`, through libntfs-3g, so that its index grows. False with
// *error set on failure.
bool AddEntries(const std::string &image, uint64_t directory, int count, std::string *error);

}  // namespace moveref
