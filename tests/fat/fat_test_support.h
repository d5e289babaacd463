// Helpers of the FAT engine's tests: what fsck.fat -v says about an image,
// the walk of the engine as paths and extents comparable with the image
// kit's mtools listing, and bytes patched in an image by hand.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include <imgkit/imgkit.h>

#include "fat.h"
#include "frame_support.h"
#include "mtools.h"
#include "shell.h"

namespace imgkit {
inline bool operator==(const Extent &a, const Extent &b) { return a.lcn == b.lcn && a.length == b.length; }
inline void PrintTo(const Extent &e, std::ostream *os) { *os << "(LCN " << e.lcn << ", " << e.length << ")"; }
}  // namespace imgkit

namespace fattest {

using testshell::Quote;

// A test over kit volumes: a machine whose A: is the log folder and whose C:
// is the image image_ (made by the test), the program's options as a run
// without keywords leaves them; the volume released after each test.
template <typename Param>
class VolumeTest : public testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        image_ = scratch_.file("c.img");
        machine_ = std::make_unique<frametest::Machine>("A: folder logs\nC: image " + image_ + "\n");
        machine_->MakeFolder("logs");
        lPageOpt = 0;
        bLogFile = 0;
        lLogLevel = 0;
    }
    void TearDown() override {
        OffLineExit();
        memset(&VolData, 0, sizeof VolData);
    }

    imgkit::ScratchDir scratch_;
    std::string image_;
    std::unique_ptr<frametest::Machine> machine_;
};

// The numbers fsck.fat -v gives for a volume.
struct FsckFacts {
    int code = -1;
    long long sectorBytes = -1, clusterBytes = -1, firstFat = -1, fats = -1, fatBytes = -1, dataStart = -1;
    long long clusters = -1, used = -1;
    std::string out;
};

inline FsckFacts Fsck(const std::string &image) {
    FsckFacts f;
    testshell::Result r = testshell::Run("fsck.fat -n -v " + Quote(image));
    f.code = r.code;
    f.out = r.out;
    auto number = [&](const char *pattern, long long *to) {
        std::smatch m;
        if (std::regex_search(r.out, m, std::regex(pattern))) *to = std::stoll(m[1]);
    };
    number(R"((\d+) bytes per logical sector)", &f.sectorBytes);
    number(R"((\d+) bytes per cluster)", &f.clusterBytes);
    number(R"(First FAT starts at byte (\d+))", &f.firstFat);
    number(R"((\d+) FATs,)", &f.fats);
    number(R"((\d+) bytes per FAT)", &f.fatBytes);
    number(R"(Data area starts at byte (\d+))", &f.dataStart);
    number(R"((\d+) data clusters)", &f.clusters);
    number(R"(files, (\d+)/\d+ clusters)", &f.used);
    return f;
}

// UTF-8 of UTF-16 units (pairs joined).
inline std::string Utf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18), out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Bytes of code page 850 (mtools' default for 8.3 names) in UTF-8.
inline std::string FromCp850(const std::string &bytes) {
    iconv_t cd = iconv_open("UTF-8", "CP850");
    if (cd == (iconv_t)-1) return "?iconv";
    std::string in = bytes, out(bytes.size() * 4, '\0');
    char *ip = in.data(), *op = out.data();
    size_t il = in.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

// The engine's path "X:\dir\name" as the kit writes it ("\dir\name", UTF-8).
// Units 0xFF80 and above are the bytes of 8.3 names (sign-extended, no code
// page): they are compared as those bytes, read in code page 850.
inline std::string KitPath(const WCHAR *path) {
    std::u16string units(path + 2);
    std::string out;
    for (size_t i = 0; i < units.size();) {
        if (units[i] >= 0xFF80) {
            std::string bytes;
            while (i < units.size() && units[i] >= 0xFF80) bytes += char(units[i++] & 0xFF);
            out += FromCp850(bytes);
        } else {
            size_t j = i;
            while (j < units.size() && units[j] < 0xFF80) j++;
            out += Utf8(units.substr(i, j - i));
            i = j;
        }
    }
    return out;
}

inline std::vector<imgkit::Extent> CurrentExtents() {
    std::vector<imgkit::Extent> out;
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++)
        out.push_back({VolData.pExtentList[i].StartingLcn, (uint64_t)VolData.pExtentList[i].ClusterCount});
    return out;
}

// The engine's walk from the root (GetFatBootSector, then NextFatFile to the
// end), each entry with the extent list GetExtentListManuallyFat builds, in
// the kit's form. False when a step fails.
inline bool Walk(std::vector<imgkit::FatEntry> *entries) {
    entries->clear();
    if (!GetFatBootSector()) return false;
    for (;;) {
        if (!NextFatFile()) return false;
        if (VolData.cFileName[0] == 0) return true;
        imgkit::FatEntry e;
        e.path = KitPath(VolData.cFileName);
        e.directory = VolData.bDirectory != 0;
        if (!GetExtentListManuallyFat()) return false;
        e.extents = CurrentExtents();
        entries->push_back(std::move(e));
    }
}

inline std::string ReadImage(const std::string &image) {
    std::ifstream in(image, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes bytes into an image at an offset.
inline void Patch(const std::string &image, uint64_t offset, const std::string &bytes) {
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp((std::streamoff)offset);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

inline std::string Le16(unsigned v) { return std::string{char(v & 0xFF), char(v >> 8 & 0xFF)}; }

// Offset of the one directory entry whose 11-byte 8.3 name is `name83`
// (std::string::npos when there is none or several).
inline size_t FindEntry(const std::string &bytes, const std::string &name83) {
    size_t found = std::string::npos;
    for (size_t at = bytes.find(name83); at != std::string::npos; at = bytes.find(name83, at + 1)) {
        if (at % 32 != 0) continue;
        if (found != std::string::npos) return std::string::npos;
        found = at;
    }
    return found;
}

// Where the FAT copies of an image lie, from its boot sector (fsck.fat
// refuses volumes of more than two FATs): firstFat, fats, fatBytes,
// sectorBytes and, from the size fields, clusters.
inline FsckFacts Layout(const std::string &image) {
    std::string b = ReadImage(image).substr(0, 64);
    auto u = [&](size_t at, size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; i++) v |= uint64_t(uint8_t(b[at + i])) << (8 * i);
        return v;
    };
    FsckFacts f;
    f.sectorBytes = (long long)u(11, 2);
    f.clusterBytes = f.sectorBytes * (long long)u(13, 1);
    long long fatSectors = u(22, 2) ? (long long)u(22, 2) : (long long)u(36, 4);
    long long sectors = u(19, 2) ? (long long)u(19, 2) : (long long)u(32, 4);
    f.firstFat = (long long)u(14, 2) * f.sectorBytes;
    f.fats = (long long)u(16, 1);
    f.fatBytes = fatSectors * f.sectorBytes;
    long long data =
        (long long)u(14, 2) + f.fats * fatSectors + ((long long)u(17, 2) * 32 + f.sectorBytes - 1) / f.sectorBytes;
    f.clusters = (sectors - data) / (long long)u(13, 1);
    return f;
}

using mtools::Listing;
inline std::string Mtools(const std::string &command) { return mtools::Command(command); }

// The FAT copies of an image (FAT16 or FAT32: bits) as fsck.fat describes
// them: the clusters whose entry differs between the first copy and any
// other.
inline std::set<uint64_t> DifferingEntries(const std::string &image, const FsckFacts &f, int bits) {
    std::string bytes = ReadImage(image);
    uint64_t width = bits / 8;
    std::set<uint64_t> clusters;
    for (long long copy = 1; copy < f.fats; copy++)
        for (uint64_t c = 0; c < (uint64_t)f.clusters + 2; c++)
            if (bytes.compare(f.firstFat + c * width, width, bytes, f.firstFat + copy * f.fatBytes + c * width, width))
                clusters.insert(c);
    return clusters;
}

// Makes every FAT copy of an image equal to copy `from`.
inline void TakeFatCopy(const std::string &image, const FsckFacts &f, long long from) {
    std::string bytes = ReadImage(image), fat = bytes.substr(f.firstFat + from * f.fatBytes, f.fatBytes);
    for (long long copy = 0; copy < f.fats; copy++)
        if (copy != from) Patch(image, f.firstFat + copy * f.fatBytes, fat);
}

// Walks the volume (set up) to the entry the kit names `path` (ASCII letters
// in any case: an 8.3 name the kit shows in lower case is upper case on the
// volume), its extent list built into VolData; false when the walk fails or
// ends first.
inline bool WalkTo(const std::string &path) {
    if (!GetFatBootSector()) return false;
    for (;;) {
        if (!NextFatFile() || VolData.cFileName[0] == 0) return false;
        if (strcasecmp(KitPath(VolData.cFileName).c_str(), path.c_str()) == 0)
            return GetExtentListManuallyFat() != FALSE;
    }
}

}  // namespace fattest
