// Helpers of the volume-setup tests (see setup_support.h). The record is
// read from the published NTFS layout field by field, not through the
// engine's own structures.
#include "setup_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace setuptest {

namespace {

uint64_t Le(const std::vector<uint8_t> &b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | b[at + i];
    return v;
}

bool Fail(std::string *why, const std::string &text) {
    if (why) *why = text;
    return false;
}

// Undoes (apply = false) or applies the update sequence of one record.
bool Fixup(std::vector<uint8_t> &r, bool apply, std::string *why) {
    size_t usa = Le(r, 4, 2), count = Le(r, 6, 2);
    if (count != r.size() / 512 + 1 || usa + 2 * count > 510) return Fail(why, "unexpected update sequence array");
    for (size_t i = 1; i < count; i++) {
        size_t last = i * 512 - 2;
        if (apply) {
            r[usa + 2 * i] = r[last];
            r[usa + 2 * i + 1] = r[last + 1];
            r[last] = r[usa];
            r[last + 1] = r[usa + 1];
        } else {
            if (r[last] != r[usa] || r[last + 1] != r[usa + 1]) return Fail(why, "torn record");
            r[last] = r[usa + 2 * i];
            r[last + 1] = r[usa + 2 * i + 1];
        }
    }
    return true;
}

}  // namespace

bool PatchVolumeInformation(const std::string &image, uint16_t setFlags, int major, int minor, std::string *why) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    if (!f) return Fail(why, "cannot open " + image);
    std::vector<uint8_t> boot(512);
    f.read((char *)boot.data(), 512);
    if (!f || memcmp(&boot[3], "NTFS    ", 8) != 0) return Fail(why, "not an NTFS boot sector");
    uint64_t sector = Le(boot, 0x0B, 2), cluster = sector * boot[0x0D];
    int8_t perRecord = (int8_t)boot[0x40];
    uint64_t recordBytes = perRecord > 0 ? perRecord * cluster : 1ull << -perRecord;
    if (recordBytes != 1024) return Fail(why, "records are not 1,024 bytes");
    for (uint64_t lcn : {Le(boot, 0x30, 8), Le(boot, 0x38, 8)}) {
        uint64_t at = lcn * cluster + 3 * recordBytes;
        std::vector<uint8_t> r(recordBytes);
        f.seekg((std::streamoff)at);
        f.read((char *)r.data(), (std::streamsize)r.size());
        if (!f || memcmp(r.data(), "FILE", 4) != 0) return Fail(why, "record 3 is not a file record");
        if (!Fixup(r, false, why)) return false;
        size_t a = Le(r, 0x14, 2);
        bool done = false;
        while (a + 0x18 <= r.size()) {
            uint32_t type = (uint32_t)Le(r, a, 4), length = (uint32_t)Le(r, a + 4, 4);
            if (type == 0xFFFFFFFF || length < 0x18 || a + length > r.size()) break;
            if (type == 0x70 && r[a + 8] == 0) {
                size_t value = a + Le(r, a + 0x14, 2);
                if (value + 12 > r.size()) return Fail(why, "short volume information");
                uint16_t flags = (uint16_t)Le(r, value + 0x0A, 2) | setFlags;
                r[value + 0x0A] = (uint8_t)flags;
                r[value + 0x0B] = (uint8_t)(flags >> 8);
                if (major >= 0) r[value + 8] = (uint8_t)major;
                if (minor >= 0) r[value + 9] = (uint8_t)minor;
                done = true;
                break;
            }
            a += length;
        }
        if (!done) return Fail(why, "no $VOLUME_INFORMATION in record 3");
        if (!Fixup(r, true, why)) return false;
        f.seekp((std::streamoff)at);
        f.write((const char *)r.data(), (std::streamsize)r.size());
        if (!f) return Fail(why, "cannot write record 3");
    }
    return true;
}

std::map<std::string, std::string> NtfsInfo(const std::string &image) {
    std::map<std::string, std::string> facts;
    Command c = Run("ntfsinfo -m " + Quote(image));
    if (c.code != 0) return facts;
    std::istringstream lines(c.out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t start = line.find_first_not_of("\t ");
        size_t colon = line.find(':');
        if (start == std::string::npos || colon == std::string::npos || colon < start) continue;
        std::string name = line.substr(start, colon - start);
        std::string value = line.substr(colon + 1);
        size_t v = value.find_first_not_of(' ');
        value = v == std::string::npos ? "" : value.substr(v);
        facts.emplace(name, value);
    }
    return facts;
}

}  // namespace setuptest
