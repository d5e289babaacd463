// The map of a FAT volume for the machine tool (map_fat_volume): the
// allocation from the FAT and every file's chain, walked with the driver's
// own reading code, read-only.
#include <cstdio>
#include <set>

#include "fat_fs.h"

namespace ntp {
namespace {

using namespace fat;

// Directories deeper than this are taken for a loop.
constexpr int kMaxDepth = 64;

// Reads only: the map never changes the volume.
class ReadOnlyDevice : public Device {
public:
    explicit ReadOnlyDevice(std::shared_ptr<Volume> volume) : volume_(std::move(volume)) {}
    uint64_t size() const override { return volume_->size(); }
    NTSTATUS read(uint64_t offset, void *buffer, size_t length) override {
        return volume_->dev_read(offset, buffer, length);
    }
    NTSTATUS write(uint64_t, const void *, size_t) override { return STATUS_MEDIA_WRITE_PROTECTED; }
    NTSTATUS flush() override { return STATUS_SUCCESS; }

private:
    std::shared_ptr<Volume> volume_;
};

std::string status_text(NTSTATUS s) {
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08X", static_cast<unsigned>(s));
    return text;
}

class Mapper {
public:
    Mapper(Device &dev, const Geometry &g, FatVolumeMap *map) : dev_(dev), g_(g), table_(dev, g), map_(map) {}

    bool run(std::string *error) {
        map_->type = g_.type == FatType::Fat32 ? "FAT32" : g_.type == FatType::Fat16 ? "FAT16" : "FAT12";
        map_->bytes_per_cluster = g_.bytes_per_cluster;
        map_->clusters = g_.clusters;
        map_->in_use.assign(g_.clusters, false);
        NTSTATUS s = table_.scan(kFirstCluster, g_.clusters, [&](uint32_t c, uint32_t value) {
            uint32_t lcn = c - kFirstCluster;
            map_->in_use[lcn] = value != 0;
            if (!table_.is_bad(value)) return;
            std::vector<FatRun> &bad = map_->bad;
            if (!bad.empty() && bad.back().lcn + bad.back().count == lcn)
                ++bad.back().count;
            else
                bad.push_back(FatRun{lcn, 1});
        });
        if (!NT_SUCCESS(s)) {
            *error = "the FAT cannot be read (" + status_text(s) + ")";
            return false;
        }
        if (g_.fixed_root()) return walk(DirRef{true, 0}, "", 0, error);
        // The FAT32 root is a chain like any other.
        if (!add("\\", g_.root_cluster, true, error)) return false;
        visited_.insert(g_.root_cluster);
        return walk(DirRef{false, g_.root_cluster}, "", 0, error);
    }

private:
    bool add(const std::string &path, uint32_t first, bool directory, std::string *error) {
        FatFile file;
        file.path = path;
        file.directory = directory;
        file.first_cluster = first;
        if (first != 0) {
            std::vector<Run> runs;
            uint32_t count = 0;
            NTSTATUS s = table_.chain(first, &runs, &count);
            if (!NT_SUCCESS(s)) {
                *error = "the cluster chain of " + path + " is broken (" + status_text(s) + ")";
                return false;
            }
            for (const Run &run : runs)
                file.runs.push_back(
                    FatRun{static_cast<int64_t>(run.first) - static_cast<int64_t>(kFirstCluster), run.count});
        }
        map_->files.push_back(std::move(file));
        return true;
    }

    bool walk(DirRef ref, const std::string &path, int depth, std::string *error) {
        if (depth > kMaxDepth) {
            *error = path + ": directories nest too deep (a loop?)";
            return false;
        }
        Directory dir;
        NTSTATUS s = dir.load(dev_, g_, table_, ref);
        if (!NT_SUCCESS(s)) {
            *error =
                "directory " + (path.empty() ? std::string("\\") : path) + " cannot be read (" + status_text(s) + ")";
            return false;
        }
        std::vector<std::pair<std::string, uint32_t>> subdirs;
        bool good = true;
        for_each_entry(dir, [&](const Entry &e) {
            std::string p = path + "\\" + to_utf8(e.name());
            uint32_t first = e.first_cluster(g_);
            good = add(p, first, e.is_directory(), error);
            if (good && e.is_directory() && first != 0) subdirs.emplace_back(p, first);
            return good;
        });
        if (!good) return false;
        for (const auto &[p, first] : subdirs) {
            if (!visited_.insert(first).second) continue;  // a second link to a directory seen already
            if (!walk(DirRef{false, first}, p, depth + 1, error)) return false;
        }
        return true;
    }

    Device &dev_;
    const Geometry &g_;
    FatTable table_;
    FatVolumeMap *map_;
    std::set<uint32_t> visited_;
};

}  // namespace

FatMapResult map_fat_volume(const std::shared_ptr<Volume> &volume, FatVolumeMap *map, std::string *error) {
    *map = FatVolumeMap{};
    uint8_t sector[512];
    if (volume->size() < sizeof sector || !NT_SUCCESS(volume->dev_read(0, sector, sizeof sector))) {
        *error = "its boot sector cannot be read";
        return FatMapResult::Failed;
    }
    Geometry g;
    std::string why;
    switch (parse_boot_sector(sector, sizeof sector, volume->size(), &g, &why)) {
    case Probe::NotFat:
        return FatMapResult::NotFat;
    case Probe::Corrupt:
        *error = "the FAT boot sector is corrupt: " + why;
        return FatMapResult::Failed;
    case Probe::Fat:
        break;
    }
    ReadOnlyDevice dev(volume);
    return Mapper(dev, g, map).run(error) ? FatMapResult::Mapped : FatMapResult::Failed;
}

}  // namespace ntp
