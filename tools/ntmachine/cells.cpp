// What each cluster of a volume holds: the free space of the bitmap, the MFT
// zone, and the runs of the items the counters read, each cluster counted
// once. The map draws these counts; `frag --json` shows their totals.
#include <algorithm>
#include <bit>

#include "frag.h"

namespace ntm::frag {

namespace {

struct ClassText {
    const char *key;
    const char *name;
};
const ClassText kClassText[kClassCount] = {
    {"free", "Free"},
    {"mft_zone", "MFT zone (reserved, free)"},
    {"system", "System records 0-15"},
    {"mft", "MFT"},
    {"directories", "Directories"},
    {"contiguous", "Contiguous files"},
    {"fragmented", "Fragmented files"},
    {"paging_file", "Paging file"},
    {"unmovable", "Unmovable (sparse, streams, reparse, bad)"},
    {"other", "In use, held by no file"},
};

// Calls fn(first byte index, mask) for the bytes covering bits [a, b).
template <typename Fn>
void for_bytes(uint64_t a, uint64_t b, Fn fn) {
    while (a < b) {
        uint64_t byte = a >> 3;
        unsigned from = unsigned(a & 7);
        unsigned to = unsigned(std::min<uint64_t>(b - (byte << 3), 8));
        uint8_t mask = uint8_t((0xFFu >> (8 - (to - from))) << from);
        fn(byte, mask);
        a = (byte << 3) + to;
    }
}

// Bits of `bits` in [a, b) for which pick(bit set in `bits`, ...) holds,
// counted a byte at a time.
template <typename Pick>
uint64_t count_bits(uint64_t a, uint64_t b, Pick pick) {
    uint64_t n = 0;
    for_bytes(a, b, [&](uint64_t byte, uint8_t mask) { n += std::popcount(unsigned(pick(byte) & mask)); });
    return n;
}

}  // namespace

const char *class_key(int c) { return c >= 0 && c < kClassCount ? kClassText[c].key : "?"; }
const char *class_name(int c) { return c >= 0 && c < kClassCount ? kClassText[c].name : "?"; }

void Report::count_free() {
    free_clusters = free_extents = largest_free_extent = 0;
    uint64_t run = 0;
    auto close_run = [&] {
        if (run) {
            ++free_extents;
            largest_free_extent = std::max(largest_free_extent, run);
        }
        run = 0;
    };
    for (uint64_t c = 0; c < total_clusters;) {
        // Whole bytes at once where they are all free or all in use.
        if ((c & 7) == 0 && c + 8 <= total_clusters && (bitmap[c >> 3] == 0 || bitmap[c >> 3] == 0xFF)) {
            if (bitmap[c >> 3] == 0) {
                run += 8;
                free_clusters += 8;
            } else {
                close_run();
            }
            c += 8;
            continue;
        }
        if (in_use(c)) {
            close_run();
        } else {
            ++run;
            ++free_clusters;
        }
        ++c;
    }
    close_run();
}

int Report::class_of(const Item &item) const {
    bool ntfs = fs == "NTFS";
    if (ntfs && item.record == 0) return kMft;
    if (ntfs && item.record < 16) return kSystem;
    if (item.kind == Item::Unmovable) return kUnmovable;
    if (item.paging_file) return kPaging;
    if (item.kind == Item::Directory) return kDirectory;
    if (item.kind == Item::System) return kSystem;
    return item.fragments > 1 ? kFragmented : kContiguous;
}

std::vector<Painted> Report::painted() const {
    std::vector<Painted> out;
    auto add = [&](const std::vector<Run> &runs, int cls) {
        for (const Run &run : runs)
            if (run.lcn >= 0 && run.length) out.push_back(Painted{run.lcn, run.length, cls});
    };
    for (const Item &item : items) {
        int cls = class_of(item);
        add(item.runs, cls);
        add(item.other_runs, cls == kMft ? kSystem : cls);
    }
    add(metadata_runs, kSystem);
    add(bad_runs, kUnmovable);
    return out;
}

int Cells::major(size_t i) const {
    const auto &c = counts[i];
    return int(std::max_element(c.begin(), c.end()) - c.begin());
}

Cells tally(const Report &r, uint64_t per_cell) {
    Cells cells;
    cells.per_cell = std::max<uint64_t>(per_cell, 1);
    uint64_t total = std::min<uint64_t>(r.total_clusters, uint64_t(r.bitmap.size()) * 8);
    size_t count = size_t((total + cells.per_cell - 1) / cells.per_cell);
    cells.counts.assign(count, {});
    const std::vector<uint8_t> &used = r.bitmap;
    std::vector<uint8_t> owned(used.size(), 0);

    // Held clusters: each counted for the first run that holds it.
    for (const Painted &p : r.painted()) {
        uint64_t a = uint64_t(p.lcn), b = std::min<uint64_t>(a + p.length, total);
        while (a < b) {
            size_t cell = size_t(a / cells.per_cell);
            uint64_t end = std::min<uint64_t>(b, (cell + 1) * cells.per_cell);
            uint64_t fresh = 0;
            for_bytes(a, end, [&](uint64_t byte, uint8_t mask) {
                fresh += std::popcount(unsigned(mask & ~owned[byte]));
                owned[byte] |= mask;
            });
            cells.counts[cell][p.cls] += fresh;
            a = end;
        }
    }
    // The rest by the bitmap and the MFT zone.
    uint64_t zs = uint64_t(std::max<int64_t>(r.mft_zone_start, 0));
    uint64_t ze = uint64_t(std::max<int64_t>(r.mft_zone_end, 0));
    auto unowned_free = [&](uint64_t byte) { return uint8_t(~used[byte] & ~owned[byte]); };
    auto unowned_used = [&](uint64_t byte) { return uint8_t(used[byte] & ~owned[byte]); };
    for (size_t cell = 0; cell < count; ++cell) {
        uint64_t a = cell * cells.per_cell, b = std::min<uint64_t>(a + cells.per_cell, total);
        uint64_t za = std::clamp(zs, a, b), zb = std::clamp(ze, za, b);
        uint64_t free = count_bits(a, b, unowned_free);
        uint64_t zone = count_bits(za, zb, unowned_free);
        cells.counts[cell][kMftZone] += zone;
        cells.counts[cell][kFree] += free - zone;
        cells.counts[cell][kOther] += count_bits(a, b, unowned_used);
    }
    return cells;
}

std::array<uint64_t, kClassCount> class_totals(const Report &r) {
    std::array<uint64_t, kClassCount> totals{};
    Cells cells = tally(r, r.total_clusters / 4096 + 1);
    for (const auto &c : cells.counts)
        for (int k = 0; k < kClassCount; ++k) totals[k] += c[k];
    return totals;
}

}  // namespace ntm::frag
