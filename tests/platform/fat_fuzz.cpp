// libFuzzer target over the FAT driver's parsing of what comes from disk:
// the boot sector, FAT chains and directory entries. The input is a whole
// volume image in memory; every directory reachable from the root is walked,
// every file read and asked for its clusters, then a file is created,
// written and removed. Built only with -DNTDEFRAG_FUZZ=ON (clang).
//
// Seeds: small images, e.g. `mkfs.fat -C -F 12 seed.img 64` filled with mtools.
#include <cstring>
#include <vector>

#include "fs/fat/fat_fs.h"

namespace {

using namespace ntp::fat;

class MemDevice : public Device {
public:
    MemDevice(const uint8_t *data, size_t size) : bytes_(data, data + size) {}
    uint64_t size() const override { return bytes_.size(); }
    NTSTATUS read(uint64_t offset, void *buffer, size_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) return STATUS_END_OF_FILE;
        std::memcpy(buffer, bytes_.data() + offset, length);
        return STATUS_SUCCESS;
    }
    NTSTATUS write(uint64_t offset, const void *buffer, size_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) return STATUS_DISK_FULL;
        std::memcpy(bytes_.data() + offset, buffer, length);
        return STATUS_SUCCESS;
    }
    NTSTATUS flush() override { return STATUS_SUCCESS; }

private:
    std::vector<uint8_t> bytes_;
};

void walk(FatVolume &v, const std::u16string &path, int depth) {
    if (depth > 4) return;
    Node dir;
    if (!NT_SUCCESS(v.lookup(path.empty() ? u"\\" : path, &dir))) return;
    FatTable fat(v.device(), v.geometry());
    Directory d;
    if (!NT_SUCCESS(d.load(v.device(), v.geometry(), fat, v.dir_ref(dir)))) return;
    std::vector<Entry> entries;
    for_each_entry(d, [&](const Entry &e) {
        entries.push_back(e);
        return entries.size() < 64;
    });
    for (const Entry &e : entries) {
        std::u16string child = path + u"\\" + e.name();
        Node n;
        if (!NT_SUCCESS(v.lookup(child, &n))) continue;
        std::vector<Run> runs;
        uint32_t count;
        (void)v.runs(n, &runs, &count);
        uint64_t bytes;
        (void)v.length(n, &bytes);
        if (n.is_directory()) {
            walk(v, child, depth + 1);
        } else {
            uint8_t buf[4096];
            ULONG done;
            (void)v.read(n, 0, buf, sizeof buf, &done);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(BootSector)) return 0;
    Geometry g;
    std::string why;
    if (parse_boot_sector(data, size, size, &g, &why) != Probe::Fat) return 0;
    FatVolume v(std::make_shared<MemDevice>(data, size), g);

    walk(v, u"", 0);
    uint32_t free;
    (void)v.free_clusters(&free);
    std::vector<uint8_t> bits((g.clusters + 7) / 8);
    (void)v.bitmap(0, g.clusters, bits.data());
    std::u16string label;
    (void)v.label(&label);

    // Changes on whatever the image holds must fail cleanly or succeed.
    DirRef parent;
    std::u16string leaf;
    if (NT_SUCCESS(v.lookup_parent(u"\\fuzz created file.txt", &parent, &leaf))) {
        Node n;
        if (NT_SUCCESS(v.create(parent, leaf, kAttrArchive, false, &n))) {
            uint8_t block[3000];
            std::memset(block, 0x5A, sizeof block);
            ULONG done;
            (void)v.write(&n, 0, block, sizeof block, &done);
            Node again;
            if (NT_SUCCESS(v.lookup(u"\\fuzz created file.txt", &again))) (void)v.remove(again);
        }
    }
    return 0;
}
