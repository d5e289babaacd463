// Hand-built NTFS file records for the engine's tests, written field by
// field from the published layout (not through the engine's structures), and
// a reset of the engine's globals.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ntfs.h"

namespace ntfstest {

inline void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}
inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}
inline void Put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}
inline uint16_t Get16(const std::vector<uint8_t> &b, size_t at) { return (uint16_t)(b[at] | (b[at + 1] << 8)); }

// A record of `size` bytes: "FILE", update-sequence array at 0x30 with one
// entry per 512 bytes plus the USN, attributes from 0x38.
class RecordBuilder {
public:
    explicit RecordBuilder(uint16_t flags = 0x0001, size_t size = 1024) : bytes_(size, 0) {
        memcpy(bytes_.data(), "FILE", 4);
        Put16(bytes_, 0x04, 0x30);
        Put16(bytes_, 0x06, (uint16_t)(size / 512 + 1));
        Put16(bytes_, 0x12, 1);     // link count
        Put16(bytes_, 0x14, 0x38);  // first attribute
        Put16(bytes_, 0x16, flags);
        Put32(bytes_, 0x1C, (uint32_t)size);
        at_ = 0x38;
    }

    // A resident attribute; returns its offset.
    size_t Resident(uint32_t type, const std::vector<uint8_t> &value, const std::u16string &name = u"") {
        size_t nameOffset = 0x18, valueOffset = Align(0x18 + name.size() * 2);
        size_t length = Align(valueOffset + value.size());
        size_t a = Begin(type, length, 0, name, nameOffset);
        Put32(bytes_, a + 0x10, (uint32_t)value.size());
        Put16(bytes_, a + 0x14, (uint16_t)valueOffset);
        if (!value.empty()) memcpy(&bytes_[a + valueOffset], value.data(), value.size());
        return a;
    }

    // A non-resident attribute with these mapping-pairs bytes (a terminating
    // 0 is added); allocated = size = clusters × cluster bytes when 0.
    size_t NonResident(uint32_t type, const std::vector<uint8_t> &pairs, int64_t allocated,
                       const std::u16string &name = u"", int64_t lowestVcn = 0, int64_t totalAllocated = -1) {
        bool compressed = totalAllocated >= 0;
        size_t header = compressed ? 0x48 : 0x40;
        size_t nameOffset = header, pairsOffset = Align(header + name.size() * 2);
        size_t length = Align(pairsOffset + pairs.size() + 1);
        size_t a = Begin(type, length, 1, name, nameOffset);
        Put64(bytes_, a + 0x10, (uint64_t)lowestVcn);
        Put16(bytes_, a + 0x20, (uint16_t)pairsOffset);
        Put64(bytes_, a + 0x28, (uint64_t)allocated);
        Put64(bytes_, a + 0x30, (uint64_t)allocated);
        Put64(bytes_, a + 0x38, (uint64_t)allocated);
        if (compressed) Put64(bytes_, a + 0x40, (uint64_t)totalAllocated);
        memcpy(&bytes_[a + pairsOffset], pairs.data(), pairs.size());
        return a;
    }

    // $STANDARD_INFORMATION with these file attributes.
    size_t StandardInformation(uint32_t fileAttributes = 0x20) {
        std::vector<uint8_t> v(0x48, 0);
        Put32(v, 0x20, fileAttributes);
        return Resident(0x10, v);
    }

    // $FILE_NAME with parent, namespace and name.
    size_t FileName(uint64_t parent, uint8_t nameSpace, const std::u16string &name) {
        std::vector<uint8_t> v(0x42 + name.size() * 2, 0);
        Put64(v, 0x00, parent | (1ull << 48));  // a sequence number above the 48 bits
        v[0x40] = (uint8_t)name.size();
        v[0x41] = nameSpace;
        memcpy(&v[0x42], name.data(), name.size() * 2);
        return Resident(0x30, v);
    }

    // Ends the attributes and protects the strides with `usn`.
    std::vector<uint8_t> Finish(uint16_t usn = 0x0007) {
        Put32(bytes_, at_, 0xFFFFFFFF);
        Put32(bytes_, 0x18, (uint32_t)(at_ + 8));
        Protect(bytes_, usn);
        return bytes_;
    }
    // Ends the attributes without protecting them (as a record reads after
    // its fix-ups were removed).
    std::vector<uint8_t> FinishPlain() {
        Put32(bytes_, at_, 0xFFFFFFFF);
        Put32(bytes_, 0x18, (uint32_t)(at_ + 8));
        Put16(bytes_, 0x30, 0x0007);
        return bytes_;
    }

    // The update-sequence protection, written out by hand.
    static void Protect(std::vector<uint8_t> &b, uint16_t usn) {
        uint16_t usa = Get16(b, 0x04), count = Get16(b, 0x06);
        Put16(b, usa, usn);
        for (uint16_t i = 1; i < count; i++) {
            size_t last = (size_t)i * 512 - 2;
            Put16(b, usa + 2 * i, Get16(b, last));
            Put16(b, last, usn);
        }
    }

    std::vector<uint8_t> &bytes() { return bytes_; }
    size_t at() const { return at_; }

private:
    static size_t Align(size_t v) { return (v + 7) & ~(size_t)7; }
    size_t Begin(uint32_t type, size_t length, uint8_t form, const std::u16string &name, size_t nameOffset) {
        size_t a = at_;
        if (a + length + 8 > bytes_.size()) throw std::runtime_error("record full");
        Put32(bytes_, a, type);
        Put32(bytes_, a + 4, (uint32_t)length);
        bytes_[a + 8] = form;
        bytes_[a + 9] = (uint8_t)name.size();
        Put16(bytes_, a + 0x0A, (uint16_t)nameOffset);
        Put16(bytes_, a + 0x0E, (uint16_t)instance_++);
        if (!name.empty()) memcpy(&bytes_[a + nameOffset], name.data(), name.size() * 2);
        at_ += length;
        return a;
    }
    std::vector<uint8_t> bytes_;
    size_t at_;
    int instance_ = 0;
};

// A directory's base record: standard information, its name under
// `parent`, and a small resident $I30 index root.
inline std::vector<uint8_t> DirectoryRecord(uint64_t parent, const std::u16string &name) {
    RecordBuilder b(0x0003);
    b.StandardInformation(0x10);
    b.FileName(parent, 3, name);
    b.Resident(0x90, std::vector<uint8_t>(0x30, 0), u"$I30");
    return b.Finish();
}

// One attribute-list entry (32 bytes + name, 8-aligned).
inline std::vector<uint8_t> ListEntry(uint32_t type, uint64_t segment, int64_t lowestVcn = 0,
                                      const std::u16string &name = u"") {
    size_t length = (0x1A + name.size() * 2 + 7) & ~(size_t)7;
    std::vector<uint8_t> e(length, 0);
    Put32(e, 0, type);
    Put16(e, 4, (uint16_t)length);
    e[6] = (uint8_t)name.size();
    e[7] = 0x1A;
    Put64(e, 8, (uint64_t)lowestVcn);
    Put64(e, 0x10, segment);
    if (!name.empty()) memcpy(&e[0x1A], name.data(), name.size() * 2);
    return e;
}

// Gives the engine's globals a fresh volume: 1,024-byte records, 4,096-byte
// clusters unless said otherwise. Releases the blocks a previous test left.
void ResetEngine(LONGLONG bytesPerCluster = 4096, LONGLONG totalClusters = 1 << 20, LONGLONG records = 4096);

// After ResetEngine(4096, 1 << 20, 64): an MFT of 64 records held wholly in
// the 64 KB record cache (records 0-63, all free in the MFT bitmap), the
// record buffer and the extent list, so that GetFrs finds every record
// there without reading the volume. Call from a fixture's SetUp.
void SetUpCachedMft();

// Stores a 1,024-byte record in the cached MFT and marks it in use.
void PutCachedRecord(LONGLONG n, const std::vector<uint8_t> &record);

// Runs fn and returns what it showed on the screen (UTF-8).
std::string Screen(const std::function<void()> &fn);

inline PFILE_RECORD_SEGMENT_HEADER Frs(std::vector<uint8_t> &b) { return (PFILE_RECORD_SEGMENT_HEADER)b.data(); }

}  // namespace ntfstest
