// The NTFS driver of a drive: the volume-level requests answered from the
// volume as it is on disk at the moment of the call (the platform's own
// reader, ntfs_reader.cpp), files through libntfs-3g (ntfs_files.cpp).
//
// Nothing read from the volume is kept between two calls: the programs
// rewrite the MFT and the bitmap raw, behind the driver's back.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "internal.h"
#include "ntfs_files.h"
#include "ntfs_reader.h"

namespace ntp {
namespace {

using namespace ntfs;

// File-system attribute flags the headers do not name.
constexpr ULONG kFileVolumeQuotas = 0x00000020;
constexpr ULONG kFileSupportsObjectIds = 0x00010000;
constexpr ULONG kFileSupportsEncryption = 0x00020000;

// What a Windows 2000 NTFS volume reports in FileFsAttributeInformation.
constexpr ULONG kNtfsAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                                  FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | kFileVolumeQuotas |
                                  FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS | kFileSupportsObjectIds |
                                  kFileSupportsEncryption;
static_assert(kNtfsAttributes == 0x000300FF);

// FILE_FS_FULL_SIZE_INFORMATION (class 7).
struct FsFullSizeInformation {
    LARGE_INTEGER TotalAllocationUnits;            // 0x00
    LARGE_INTEGER CallerAvailableAllocationUnits;  // 0x08
    LARGE_INTEGER ActualAvailableAllocationUnits;  // 0x10
    ULONG SectorsPerAllocationUnit;                // 0x18
    ULONG BytesPerSector;                          // 0x1C
};
static_assert(sizeof(FsFullSizeInformation) == 32);

constexpr size_t kChunk = 1 << 20;  // bitmap bytes read at a time

class NtfsDriver : public FsDriver {
public:
    NtfsDriver(std::shared_ptr<Volume> volume, const Geometry &geometry)
        : volume_(std::move(volume)), probe_(geometry), files_(std::make_shared<FileSystem>(volume_)) {}

    ~NtfsDriver() override { files_->unmount(); }

    NTSTATUS query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) override;
    NTSTATUS volume_fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                          ULONG *returned) override;

    NTSTATUS create(std::u16string_view path, const CreateRequest &request, std::shared_ptr<FileObject> *out,
                    ULONG *information) override {
        return files_->create(path, request, out, information);
    }
    NTSTATUS remove(std::u16string_view path) override { return files_->remove(path); }
    void before_raw_io() override { files_->unmount(); }
    ULONG sector_size() const override { return probe_.bytes_per_sector; }

private:
    ReadFn reader() {
        Volume *v = volume_.get();
        return [v](uint64_t offset, void *buffer, size_t length) { return v->dev_read(offset, buffer, length); };
    }
    // The geometry and the MFT as they are on disk now.
    NTSTATUS open_view(Geometry *g, std::unique_ptr<MftView> *view);
    NTSTATUS free_clusters(const Geometry &g, const MftView &view, uint64_t *free);
    NTSTATUS report(NTSTATUS status, const MftView &view, const char *what);

    NTSTATUS volume_data(void *out, ULONG outLength, ULONG *returned);
    NTSTATUS file_record(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned);
    NTSTATUS volume_bitmap(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned);
    NTSTATUS dirty(void *out, ULONG outLength, ULONG *returned);

    std::shared_ptr<Volume> volume_;
    Geometry probe_;
    std::shared_ptr<FileSystem> files_;
};

NTSTATUS NtfsDriver::open_view(Geometry *g, std::unique_ptr<MftView> *view) {
    uint8_t sector[sizeof(BootSector)];
    NTSTATUS st = volume_->dev_read(0, sector, sizeof sector);
    if (!NT_SUCCESS(st)) return st;
    std::string why;
    bool not_ntfs = false;
    if (!parse_boot_sector(sector, volume_->size(), g, &why, &not_ntfs)) {
        warn("NTFS %c: the boot sector no longer describes a usable volume: %s", volume_->letter(), why.c_str());
        return STATUS_DISK_CORRUPT_ERROR;
    }
    *view = std::make_unique<MftView>(reader(), *g);
    st = (*view)->open();
    return report(st, **view, "the MFT");
}

NTSTATUS NtfsDriver::report(NTSTATUS status, const MftView &view, const char *what) {
    if (status == STATUS_DISK_CORRUPT_ERROR || status == STATUS_FILE_CORRUPT_ERROR)
        warn("NTFS %c: %s cannot be read: %s", volume_->letter(), what, view.error().c_str());
    return status;
}

// Free clusters: clear bits of $Bitmap below the cluster count.
NTSTATUS NtfsDriver::free_clusters(const Geometry &g, const MftView &view, uint64_t *free) {
    AttributeValue bitmap;
    NTSTATUS st = report(view.attribute(kRecordBitmap, kAttrData, &bitmap), view, "$Bitmap");
    if (!NT_SUCCESS(st)) return st;
    const uint64_t bytes = (g.total_clusters + 7) / 8;
    if (uint64_t(bitmap.data_size) < bytes) {
        warn("NTFS %c: $Bitmap covers fewer clusters than the volume has", volume_->letter());
        return STATUS_DISK_CORRUPT_ERROR;
    }
    std::vector<uint8_t> buffer(std::min<uint64_t>(kChunk, bytes));
    uint64_t used = 0;
    for (uint64_t pos = 0; pos < bytes;) {
        const size_t n = size_t(std::min<uint64_t>(buffer.size(), bytes - pos));
        st = report(view.read_value(bitmap, pos, n, buffer.data()), view, "$Bitmap");
        if (!NT_SUCCESS(st)) return st;
        if (pos + n == bytes && g.total_clusters % 8) buffer[n - 1] &= uint8_t((1u << (g.total_clusters % 8)) - 1);
        for (size_t i = 0; i < n; ++i) used += unsigned(std::popcount(buffer[i]));
        pos += n;
    }
    *free = g.total_clusters - used;
    return STATUS_SUCCESS;
}

NTSTATUS NtfsDriver::query_volume(FS_INFORMATION_CLASS cls, void *out, ULONG length, ULONG *written) {
    *written = 0;
    if (cls == FileFsSizeInformation || cls == FileFsFullSizeInformation || cls == FileFsVolumeInformation)
        files_->unmount();  // answer from the disk, after the driver's own writes
    switch (cls) {
    case FileFsAttributeInformation:
        return fs_attribute_info(out, length, written, kNtfsAttributes, 255, u"NTFS");
    case FileFsDeviceInformation:
        return fs_device_info(out, length, written);
    case FileFsSizeInformation:
    case FileFsFullSizeInformation: {
        if (length < (cls == FileFsSizeInformation ? sizeof(FILE_FS_SIZE_INFORMATION) : sizeof(FsFullSizeInformation)))
            return STATUS_INFO_LENGTH_MISMATCH;
        Geometry g;
        std::unique_ptr<MftView> view;
        NTSTATUS st = open_view(&g, &view);
        if (!NT_SUCCESS(st)) return st;
        uint64_t free = 0;
        st = free_clusters(g, *view, &free);
        if (!NT_SUCCESS(st)) return st;
        if (cls == FileFsSizeInformation)
            return fs_size_info(out, length, written, g.total_clusters, free, g.sectors_per_cluster,
                                g.bytes_per_sector);
        FsFullSizeInformation info{};
        info.TotalAllocationUnits.QuadPart = LONGLONG(g.total_clusters);
        info.CallerAvailableAllocationUnits.QuadPart = LONGLONG(free);
        info.ActualAvailableAllocationUnits.QuadPart = LONGLONG(free);
        info.SectorsPerAllocationUnit = g.sectors_per_cluster;
        info.BytesPerSector = g.bytes_per_sector;
        std::memcpy(out, &info, sizeof info);
        *written = sizeof info;
        return STATUS_SUCCESS;
    }
    case FileFsVolumeInformation: {
        if (length < offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) return STATUS_INFO_LENGTH_MISMATCH;
        Geometry g;
        std::unique_ptr<MftView> view;
        NTSTATUS st = open_view(&g, &view);
        if (!NT_SUCCESS(st)) return st;
        std::u16string label;
        AttributeValue name;
        st = view->attribute(kRecordVolume, kAttrVolumeName, &name);
        if (NT_SUCCESS(st) && !name.non_resident) {
            for (size_t i = 0; i + 1 < name.resident.size(); i += 2) label += char16_t(le16(&name.resident[i]));
        } else if (st != STATUS_OBJECT_NAME_NOT_FOUND && !NT_SUCCESS(st)) {
            return report(st, *view, "$Volume");
        }
        st = fs_volume_info(out, length, written, ULONG(g.serial), label);
        if (NT_SUCCESS(st) || st == STATUS_BUFFER_OVERFLOW)
            static_cast<FILE_FS_VOLUME_INFORMATION *>(out)->SupportsObjects = TRUE;  // NTFS 3 has object ids
        return st;
    }
    default:
        debug("NTFS %c: volume information class %d is not supported", volume_->letter(), int(cls));
        return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS NtfsDriver::volume_fsctl(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                                  ULONG *returned) {
    *returned = 0;
    files_->unmount();
    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        return volume_data(out, outLength, returned);
    case FSCTL_GET_NTFS_FILE_RECORD:
        return file_record(in, inLength, out, outLength, returned);
    case FSCTL_GET_VOLUME_BITMAP:
        return volume_bitmap(in, inLength, out, outLength, returned);
    case FSCTL_IS_VOLUME_DIRTY:
        return dirty(out, outLength, returned);
    default:
        debug("NTFS %c: volume FSCTL 0x%08X is not supported", volume_->letter(), code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NtfsDriver::volume_data(void *out, ULONG outLength, ULONG *returned) {
    if (!out || outLength < sizeof(NTFS_VOLUME_DATA_BUFFER)) return STATUS_BUFFER_TOO_SMALL;
    Geometry g;
    std::unique_ptr<MftView> view;
    NTSTATUS st = open_view(&g, &view);
    if (!NT_SUCCESS(st)) return st;
    uint64_t free = 0;
    st = free_clusters(g, *view, &free);
    if (!NT_SUCCESS(st)) return st;
    NTFS_VOLUME_DATA_BUFFER d{};
    d.VolumeSerialNumber.QuadPart = LONGLONG(g.serial);
    d.NumberSectors.QuadPart = LONGLONG(g.total_sectors);
    d.TotalClusters.QuadPart = LONGLONG(g.total_clusters);
    d.FreeClusters.QuadPart = LONGLONG(free);
    d.TotalReserved.QuadPart = 0;
    d.BytesPerSector = g.bytes_per_sector;
    d.BytesPerCluster = g.bytes_per_cluster;
    d.BytesPerFileRecordSegment = g.bytes_per_record;
    d.ClustersPerFileRecordSegment = g.clusters_per_record;
    d.MftValidDataLength.QuadPart = view->valid_data_length();
    d.MftStartLcn.QuadPart = LONGLONG(g.mft_lcn);
    d.Mft2StartLcn.QuadPart = LONGLONG(g.mftmirr_lcn);
    int64_t zone_start = 0, zone_end = 0;
    mft_zone(g, g.mft_lcn, &zone_start, &zone_end);
    d.MftZoneStart.QuadPart = zone_start;
    d.MftZoneEnd.QuadPart = zone_end;
    std::memcpy(out, &d, sizeof d);
    *returned = sizeof d;
    return STATUS_SUCCESS;
}

// The nearest record at or below the one asked for that is in use, both in
// the MFT's bitmap and by its own flag.
NTSTATUS NtfsDriver::file_record(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
    if (!in || inLength < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
    Geometry g;
    std::unique_ptr<MftView> view;
    NTSTATUS st = open_view(&g, &view);
    if (!NT_SUCCESS(st)) return st;
    const size_t header = offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer);
    if (!out || outLength < header + g.bytes_per_record) return STATUS_BUFFER_TOO_SMALL;
    uint64_t n = le64(static_cast<const uint8_t *>(in)) & kMftReferenceMask;
    n = std::min(n, view->record_count() - 1);

    std::vector<uint8_t> bits;
    uint64_t bits_first = 0;  // first byte of the bitmap held in `bits`
    std::vector<uint8_t> record;
    for (;;) {
        const uint64_t byte = n / 8;
        if (bits.empty() || byte < bits_first) {
            bits_first = byte >= 4095 ? byte - 4095 : 0;
            bits.resize(size_t(byte - bits_first + 1));
            st = report(view->bitmap_bytes(bits_first, bits.size(), bits.data()), *view, "the MFT bitmap");
            if (!NT_SUCCESS(st)) return st;
        }
        if ((bits[size_t(byte - bits_first)] >> (n % 8)) & 1) {
            st = report(view->read_record_raw(n, &record), *view, "the MFT");
            if (!NT_SUCCESS(st)) return st;
            if (std::memcmp(record.data(), "FILE", 4) != 0) {
                warn("NTFS %c: record %llu is marked in use but is not a file record", volume_->letter(),
                     static_cast<unsigned long long>(n));
                return STATUS_FILE_CORRUPT_ERROR;
            }
            // The flags lie in the first stride, away from the protected words.
            if (le16(record.data() + offsetof(FileRecordHeader, flags)) & kRecordInUse) break;
        }
        if (n == 0) {
            warn("NTFS %c: no record in use at or below the one asked for", volume_->letter());
            return STATUS_DISK_CORRUPT_ERROR;
        }
        --n;
    }
    if (!remove_fixups(record.data(), record.size())) {
        warn("NTFS %c: record %llu fails its update-sequence check (torn write)", volume_->letter(),
             static_cast<unsigned long long>(n));
        return STATUS_FILE_CORRUPT_ERROR;
    }
    auto *o = static_cast<uint8_t *>(out);
    NTFS_FILE_RECORD_OUTPUT_BUFFER head{};
    head.FileReferenceNumber.QuadPart = LONGLONG(n);
    head.FileRecordLength = g.bytes_per_record;
    std::memcpy(o, &head, header);
    std::memcpy(o + header, record.data(), record.size());
    *returned = ULONG(header + record.size());
    return STATUS_SUCCESS;
}

NTSTATUS NtfsDriver::volume_bitmap(const void *in, ULONG inLength, void *out, ULONG outLength, ULONG *returned) {
    if (!in || inLength < sizeof(STARTING_LCN_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
    const size_t header = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
    if (!out || outLength < header) return STATUS_BUFFER_TOO_SMALL;
    int64_t start = int64_t(le64(static_cast<const uint8_t *>(in)));
    if (start < 0) return STATUS_INVALID_PARAMETER;
    Geometry g;
    std::unique_ptr<MftView> view;
    NTSTATUS st = open_view(&g, &view);
    if (!NT_SUCCESS(st)) return st;
    if (uint64_t(start) >= g.total_clusters) return STATUS_INVALID_PARAMETER;
    start &= ~int64_t(7);
    AttributeValue bitmap;
    st = report(view->attribute(kRecordBitmap, kAttrData, &bitmap), *view, "$Bitmap");
    if (!NT_SUCCESS(st)) return st;
    const uint64_t bits = g.total_clusters - uint64_t(start);
    const uint64_t bytes = (bits + 7) / 8;
    if (uint64_t(bitmap.data_size) < (g.total_clusters + 7) / 8) {
        warn("NTFS %c: $Bitmap covers fewer clusters than the volume has", volume_->letter());
        return STATUS_DISK_CORRUPT_ERROR;
    }
    const size_t copy = size_t(std::min<uint64_t>(bytes, outLength - header));
    auto *o = static_cast<uint8_t *>(out);
    st = report(view->read_value(bitmap, uint64_t(start) / 8, copy, o + header), *view, "$Bitmap");
    if (!NT_SUCCESS(st)) return st;
    VOLUME_BITMAP_BUFFER head{};
    head.StartingLcn.QuadPart = start;
    head.BitmapSize.QuadPart = LONGLONG(bits);
    std::memcpy(o, &head, header);
    *returned = ULONG(header + copy);
    return copy < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NtfsDriver::dirty(void *out, ULONG outLength, ULONG *returned) {
    if (!out || outLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    Geometry g;
    std::unique_ptr<MftView> view;
    NTSTATUS st = open_view(&g, &view);
    if (!NT_SUCCESS(st)) return st;
    AttributeValue info;
    st = view->attribute(kRecordVolume, kAttrVolumeInformation, &info);
    if (st == STATUS_OBJECT_NAME_NOT_FOUND ||
        (NT_SUCCESS(st) && (info.non_resident || info.resident.size() < sizeof(VolumeInformation)))) {
        warn("NTFS %c: $Volume has no volume information", volume_->letter());
        return STATUS_DISK_CORRUPT_ERROR;
    }
    st = report(st, *view, "$Volume");
    if (!NT_SUCCESS(st)) return st;
    const uint16_t flags = le16(info.resident.data() + offsetof(VolumeInformation, flags));
    ULONG result = (flags & kVolumeDirty) ? VOLUME_IS_DIRTY : 0;
    std::memcpy(out, &result, sizeof result);
    *returned = sizeof result;
    return STATUS_SUCCESS;
}

}  // namespace

std::shared_ptr<FsDriver> ntfs_driver_probe(std::shared_ptr<Volume> volume) {
    if (!volume || volume->size() < sizeof(BootSector)) return nullptr;
    uint8_t sector[sizeof(BootSector)];
    if (!NT_SUCCESS(volume->dev_read(0, sector, sizeof sector))) return nullptr;
    Geometry g;
    std::string why;
    bool not_ntfs = false;
    if (!parse_boot_sector(sector, volume->size(), &g, &why, &not_ntfs)) {
        if (!not_ntfs) warn("drive %c: NTFS volume refused: %s", volume->letter(), why.c_str());
        return nullptr;
    }
    // Windows does not mount a volume whose MFT it cannot read.
    Volume *v = volume.get();
    MftView view([v](uint64_t offset, void *buffer, size_t length) { return v->dev_read(offset, buffer, length); }, g);
    if (!NT_SUCCESS(view.open())) {
        warn("drive %c: NTFS volume refused: its MFT cannot be read: %s", volume->letter(), view.error().c_str());
        return nullptr;
    }
    return std::make_shared<NtfsDriver>(std::move(volume), g);
}

}  // namespace ntp
