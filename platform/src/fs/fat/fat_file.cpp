// File contents and volume-wide answers: reading and writing through a
// file's chain, truncation, the free count, the volume bitmap, the label.
#include <algorithm>

#include "fat_fs.h"

namespace ntp::fat {
namespace {

constexpr size_t kZeroChunk = 64 * 1024;

void append_cluster(std::vector<Run> *runs, uint32_t c) {
    if (!runs->empty() && runs->back().first + runs->back().count == c)
        ++runs->back().count;
    else
        runs->push_back({c, 1});
}

}  // namespace

// Reads into `into`, writes `from`, or (both null) writes zeros, over the
// byte range [offset, offset + length) of the file whose clusters are runs.
NTSTATUS FatVolume::io_runs(const std::vector<Run> &runs, uint64_t offset, uint8_t *into, const uint8_t *from,
                            uint64_t length) {
    static const std::vector<uint8_t> zeros(kZeroChunk, 0);
    uint64_t run_start = 0;  // file offset of the current run
    for (const Run &r : runs) {
        if (length == 0) break;
        uint64_t run_bytes = static_cast<uint64_t>(r.count) * g_.bytes_per_cluster;
        if (offset < run_start + run_bytes) {
            uint64_t in_run = offset - run_start;
            uint64_t n = std::min(length, run_bytes - in_run);
            uint64_t disk = g_.cluster_offset(r.first) + in_run;
            NTSTATUS status = STATUS_SUCCESS;
            if (into) {
                status = dev_->read(disk, into, n);
                into += n;
            } else if (from) {
                status = dev_->write(disk, from, n);
                from += n;
            } else {
                for (uint64_t done = 0; done < n && NT_SUCCESS(status); done += kZeroChunk)
                    status = dev_->write(disk + done, zeros.data(), std::min<uint64_t>(kZeroChunk, n - done));
            }
            if (!NT_SUCCESS(status)) return status;
            offset += n;
            length -= n;
        }
        run_start += run_bytes;
    }
    return length == 0 ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

NTSTATUS FatVolume::runs(const Node &node, std::vector<Run> *runs, uint32_t *count) {
    if (node.root && g_.fixed_root()) return STATUS_INVALID_PARAMETER;  // outside the data area
    FatTable fat(*dev_, g_);
    uint32_t first = node.root ? g_.root_cluster : node.entry.first_cluster(g_);
    NTSTATUS status = fat.chain(first, runs, count);
    if (!NT_SUCCESS(status)) return status;
    if (!node.is_directory() && static_cast<uint64_t>(*count) * g_.bytes_per_cluster < node.entry.size())
        return STATUS_FILE_CORRUPT_ERROR;  // the size runs past the chain
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::length(const Node &node, uint64_t *bytes) {
    if (!node.is_directory()) {
        *bytes = node.entry.size();
        return STATUS_SUCCESS;
    }
    if (node.root && g_.fixed_root()) {
        *bytes = g_.root_bytes;
        return STATUS_SUCCESS;
    }
    std::vector<Run> r;
    uint32_t count;
    NTSTATUS status = runs(node, &r, &count);
    if (NT_SUCCESS(status)) *bytes = static_cast<uint64_t>(count) * g_.bytes_per_cluster;
    return status;
}

NTSTATUS FatVolume::read(const Node &node, uint64_t offset, void *buffer, ULONG length, ULONG *done) {
    *done = 0;
    uint64_t size = node.entry.size();
    if (offset >= size) return STATUS_END_OF_FILE;
    uint64_t n = std::min<uint64_t>(length, size - offset);
    std::vector<Run> r;
    uint32_t count;
    NTSTATUS status = runs(node, &r, &count);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(status = io_runs(r, offset, static_cast<uint8_t *>(buffer), nullptr, n))) return status;
    *done = static_cast<ULONG>(n);
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::write(Node *node, uint64_t offset, const void *buffer, ULONG length, ULONG *done) {
    *done = 0;
    uint64_t size = node->entry.size();
    if (offset == UINT64_MAX) offset = size;  // append
    if (length == 0) return STATUS_SUCCESS;
    uint64_t end = offset + length;
    if (offset > UINT32_MAX || end > UINT32_MAX) return STATUS_DISK_FULL;  // FAT sizes are 32-bit

    FatTable fat(*dev_, g_);
    std::vector<Run> r;
    uint32_t count;
    NTSTATUS status = runs(*node, &r, &count);
    if (!NT_SUCCESS(status)) return status;
    uint64_t new_size = std::max(size, end);
    uint64_t need = (new_size + g_.bytes_per_cluster - 1) / g_.bytes_per_cluster;

    // More clusters: first they form a chain of their own (so a stop leaves
    // only lost clusters), the data goes in, and only then the file's last
    // cluster (or its entry) points at them.
    std::vector<uint32_t> fresh;
    if (need > count) {
        if (!NT_SUCCESS(status = fat.find_free(static_cast<uint32_t>(need - count), &fresh))) return status;
        for (size_t k = 0; k < fresh.size(); ++k)
            if (!NT_SUCCESS(status = fat.set(fresh[k], k + 1 < fresh.size() ? fresh[k + 1] : g_.end_of_chain())))
                return status;
        if (!NT_SUCCESS(status = fat.flush())) return status;
    }
    auto undo = [&](NTSTATUS failure) {
        FatTable again(*dev_, g_);
        for (uint32_t c : fresh)
            if (!NT_SUCCESS(again.set(c, kFreeCluster))) return failure;
        (void)again.flush();
        return failure;
    };
    uint32_t last_old = r.empty() ? 0 : r.back().first + r.back().count - 1;
    for (uint32_t c : fresh) append_cluster(&r, c);

    if (offset > size && !NT_SUCCESS(status = io_runs(r, size, nullptr, nullptr, offset - size))) return undo(status);
    if (!NT_SUCCESS(status = io_runs(r, offset, nullptr, static_cast<const uint8_t *>(buffer), length)))
        return undo(status);
    if (!fresh.empty() && last_old != 0) {
        if (!NT_SUCCESS(status = fat.set(last_old, fresh[0]))) return undo(status);
        if (!NT_SUCCESS(status = fat.flush())) return undo(status);
    }
    DosTime now = dos_now();
    uint32_t first = (last_old == 0 && !fresh.empty()) ? fresh[0] : 0;
    status = write_entry(*node, [&](DirEntry *e) {
        if (first != 0) {
            put16(e->cluster_low, static_cast<uint16_t>(first));
            if (g_.type == FatType::Fat32) put16(e->cluster_high, static_cast<uint16_t>(first >> 16));
        }
        put32(e->size, static_cast<uint32_t>(new_size));
        put16(e->write_time, now.time);
        put16(e->write_date, now.date);
        put16(e->access_date, now.date);
        e->attributes |= kAttrArchive;
        std::memcpy(&node->entry.dirent, e, sizeof *e);
    });
    if (!NT_SUCCESS(status)) return first != 0 ? undo(status) : status;
    *done = length;
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::truncate(Node *node, uint8_t attributes) {
    std::vector<Run> r;
    uint32_t count;
    NTSTATUS status = runs(*node, &r, &count);
    if (!NT_SUCCESS(status)) return status;
    DosTime now = dos_now();
    // The entry lets go of its clusters before they are freed.
    status = write_entry(*node, [&](DirEntry *e) {
        put16(e->cluster_low, 0);
        put16(e->cluster_high, 0);
        put32(e->size, 0);
        e->attributes = static_cast<uint8_t>((e->attributes & kAttrDirectory) |
                                             (attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem)) | kAttrArchive);
        put16(e->write_time, now.time);
        put16(e->write_date, now.date);
        put16(e->access_date, now.date);
        std::memcpy(&node->entry.dirent, e, sizeof *e);
    });
    if (!NT_SUCCESS(status)) return status;
    FatTable fat(*dev_, g_);
    for (const Run &run : r)
        for (uint32_t k = 0; k < run.count; ++k)
            if (!NT_SUCCESS(status = fat.set(run.first + k, kFreeCluster))) return status;
    return fat.flush();
}

NTSTATUS FatVolume::free_clusters(uint32_t *count) {
    FatTable fat(*dev_, g_);
    uint32_t free = 0;
    uint32_t mask = g_.type == FatType::Fat32 ? kFat32Mask : 0xFFFFFFFF;
    NTSTATUS status = fat.scan(kFirstCluster, g_.clusters, [&](uint32_t, uint32_t v) {
        if ((v & mask) == kFreeCluster) ++free;
    });
    if (NT_SUCCESS(status)) *count = free;
    return status;
}

NTSTATUS FatVolume::bitmap(uint32_t first_lcn, uint32_t bits, uint8_t *out) {
    if (static_cast<uint64_t>(first_lcn) + bits > g_.clusters) return STATUS_INVALID_PARAMETER;
    size_t bytes = (static_cast<size_t>(bits) + 7) / 8;
    std::memset(out, 0, bytes);
    FatTable fat(*dev_, g_);
    uint32_t mask = g_.type == FatType::Fat32 ? kFat32Mask : 0xFFFFFFFF;
    NTSTATUS status = fat.scan(first_lcn + kFirstCluster, bits, [&](uint32_t c, uint32_t v) {
        if ((v & mask) != kFreeCluster) {
            uint32_t bit = c - kFirstCluster - first_lcn;
            out[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    });
    if (!NT_SUCCESS(status)) return status;
    // Bits past the last cluster read as in use.
    for (uint32_t bit = bits; bit < bytes * 8; ++bit) out[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::label(std::u16string *label) {
    FatTable fat(*dev_, g_);
    Directory d;
    NTSTATUS status = load_dir(fat, root_ref(), &d);
    if (!NT_SUCCESS(status)) return status;
    if (!find_label(d, label)) label->clear();
    return STATUS_SUCCESS;
}

NTSTATUS FatVolume::dirty(bool *dirty) {
    *dirty = false;
    if (g_.type == FatType::Fat12) return STATUS_SUCCESS;
    FatTable fat(*dev_, g_);
    uint32_t v;
    NTSTATUS status = fat.get(1, &v);
    if (!NT_SUCCESS(status)) return status;
    uint32_t clean_bit = g_.type == FatType::Fat16 ? 0x8000 : 0x08000000;
    *dirty = (v & clean_bit) == 0;
    return STATUS_SUCCESS;
}

}  // namespace ntp::fat
