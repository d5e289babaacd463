// A slow, obvious model of the free-space search, for the property tests and
// the benchmark. It reads the bitmap one bit at a time and keeps every run it
// finds, then picks the answer from the whole list, so it shares nothing with
// the word-at-a-time scan it checks except the documented rules:
//   - bit n of 32-bit word n / 32 is cluster n, 1 = in use;
//   - LCN 0 never starts a run (a free cluster 0 is passed over);
//   - while looking for a start, a whole used word at a word boundary is
//     skipped; while looking for an end (from the start cluster itself), a
//     whole free word at a word boundary is skipped, so a run may end up to
//     31 free clusters past the range end;
//   - on NTFS, unless the window ends at MftZoneEnd, runs are cut to keep out
//     of [MftZoneStart, MftZoneEnd).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace volref {

struct Run {
    int64_t lcn;
    int64_t len;
};

inline bool Bit(const uint32_t *bits, int64_t n) { return ((bits[n / 32] >> (n % 32)) & 1u) != 0; }

// True when the 32 clusters from p all have the given state.
inline bool WordIs(const uint32_t *bits, int64_t p, bool used) {
    for (int k = 0; k < 32; ++k)
        if (Bit(bits, p + k) != used) return false;
    return true;
}

// One call of the run finder: the run at or after *lcn, below rangeEnd.
// Returns false (nothing found, *lcn untouched) for a rejected call.
inline bool FindRun(const uint32_t *bits, int64_t totalClusters, int64_t rangeEnd, int64_t *lcn, Run *run) {
    *run = {0, 0};
    if (rangeEnd > totalClusters || *lcn >= rangeEnd || *lcn < 0) return false;
    int64_t p = *lcn;
    int64_t start = 0;
    while (p < rangeEnd && start == 0) {
        if (p % 32 == 0 && WordIs(bits, p, true)) {
            p += 32;
            continue;
        }
        if (!Bit(bits, p) && p != 0) {
            start = p;  // the end is looked for from the start cluster itself
            break;
        }
        ++p;
    }
    if (start != 0) {
        while (p < rangeEnd) {
            if (p % 32 == 0 && WordIs(bits, p, false)) {
                p += 32;
                continue;
            }
            if (Bit(bits, p)) break;
            ++p;
        }
        *run = {start, p - start};
    }
    *lcn = p;
    return true;
}

struct Search {
    const uint32_t *bits;
    int64_t totalClusters;
    int64_t start, end;  // window
    int64_t needed;
    bool ntfs;
    int64_t zoneStart, zoneEnd;
};

// Every run of the window, cut by the MFT zone.
inline std::vector<Run> WindowRuns(const Search &s) {
    std::vector<Run> runs;
    int64_t cursor = s.start;
    bool cut = s.ntfs && s.end != s.zoneEnd && s.zoneStart < s.zoneEnd;
    while (cursor < s.end) {
        Run r;
        if (!FindRun(s.bits, s.totalClusters, s.end, &cursor, &r) || r.len == 0) break;
        if (cut) {
            int64_t a = r.lcn, b = r.lcn + r.len;
            bool overlaps = a < s.zoneEnd && b > s.zoneStart;
            if (overlaps) {
                if (a >= s.zoneStart && b <= s.zoneEnd) continue;  // wholly inside
                if (a < s.zoneStart)
                    b = s.zoneStart;  // keeps its part before
                else
                    a = s.zoneEnd;  // keeps its part after
            }
            r = {a, b - a};
        }
        runs.push_back(r);
    }
    return runs;
}

struct Result {
    bool ok = false;
    int64_t lcn = 0, len = 0;
    int64_t runs = 0, clusters = 0;
};

// The answer of the search for one mode (the FFS_* values).
inline Result FindSpace(const Search &s, uint32_t mode) {
    Result out;
    const uint32_t selections = 0x01 | 0x02 | 0x04 | 0x10 | 0x20 | 0x40;
    int selected = 0;
    for (uint32_t b = 1; b <= 0x40; b <<= 1)
        if (mode & selections & b) ++selected;
    if (mode != 0x100 && ((mode & ~(selections | 0x80)) != 0 || selected != 1)) return out;
    out.ok = true;
    std::vector<Run> runs = WindowRuns(s);
    if (mode == 0x100) {
        out.runs = (int64_t)runs.size();
        for (const Run &r : runs) out.clusters += r.len;
        return out;
    }
    std::vector<Run> fits;
    for (const Run &r : runs)
        if (r.len >= s.needed) fits.push_back(r);
    const Run *pick = nullptr;
    auto byLen = [](const Run &a, const Run &b) { return a.len < b.len; };
    switch (mode & selections) {
    case 0x01:
        if (!fits.empty()) pick = &fits.front();
        break;
    case 0x02:
        if (!fits.empty()) pick = &*std::min_element(fits.begin(), fits.end(), byLen);
        break;
    case 0x04:
        if (!fits.empty()) pick = &fits.back();
        break;
    case 0x10:
        if (!runs.empty()) pick = &runs.front();
        break;
    case 0x20:
        if (!runs.empty()) pick = &runs.back();
        break;
    case 0x40:
        if (!runs.empty()) pick = &*std::max_element(runs.begin(), runs.end(), byLen);
        break;
    }
    if (pick != nullptr) {
        out.lcn = pick->lcn;
        out.len = pick->len;
        if ((mode & 0x80) && s.needed > 0 && pick->len >= s.needed) {
            out.lcn = pick->lcn + pick->len - s.needed;
            out.len = s.needed;
        }
    }
    return out;
}

}  // namespace volref
