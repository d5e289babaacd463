// A full FILES=FULL run on a 1 GiB NTFS image with thousands of files, set up
// as main sets it up (Initialize, InitializeDefrag, OffLineDefrag,
// OffLineExit), against the plain lower bound: reading once and writing once
// each byte of the files that moved, sequentially, on a copy of the same
// image taken before the run. Prints, in one run, the wall times and the
// bytes read and written, split into file data, volume bitmap and MFT.
//
//   bench_ntfsrun [--size BYTES] [--cluster BYTES] [--files N] [--seed N]
//
// How the bytes are counted: the program's raw volume I/O all goes through
// the Win32-style ReadFile/WriteFile of the frame (raw cluster reads and
// writes, the bitmap file, the MFT records). This program is linked with
// those two wrapped (ld --wrap), so every request on the volume handle is
// counted and classed by its byte range: inside the MFT's extents, inside
// the volume bitmap file's extents, or else file data. The classes hold for
// the whole run because FILES=FULL moves neither the MFT nor the bitmap
// file. The writes are checked against the platform's own write log
// (NT_WRITE_LOG). NTFSMoveFile is wrapped too, to learn which files moved
// and from where (their extents at their first move). The file-system
// requests of volume setup (FSCTL bitmap and record queries) are not raw
// I/O and are not counted. The check of the volume bitmap against the
// records that setup makes before anything is written (CheckVolumeAllocation,
// wrapped as well) is timed on its own, with the memory it takes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <imgkit/imgkit.h>

#include "bootntfs.h"
#include "tool.h"

// ------------------------------------------------- the wrapped routines
// Mangled names of the frame's ReadFile, WriteFile and the move engine's
// NTFSMoveFile (see the link options in CMakeLists.txt).
extern "C" {
BOOL __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL __real__Z9WriteFilePvPKvjPjP11_OVERLAPPED(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL __real__Z12NTFSMoveFilel(LONGLONG);
BOOL __real__Z21CheckVolumeAllocationv();
}

namespace {

enum Class { kData, kBitmap, kMft, kClasses };
const char *const kClassNames[kClasses] = {"file data", "volume bitmap", "MFT"};

struct Counter {
    uint64_t bytes = 0, requests = 0;
};
Counter gRead[kClasses], gWritten[kClasses];
bool gCounting = false;

// Moved files: record -> extents at the first move; and the move count.
std::map<LONGLONG, std::vector<std::pair<LONGLONG, LONGLONG>>> gMovedFiles;
uint64_t gMoves = 0;

// The check before the first write: its time, the bytes it holds (the
// volume bitmap block, and what the extent list grew by), the records read.
double gCheckSeconds = 0;
uint64_t gCheckBytes = 0;
LONGLONG gCheckRecords = 0;

bool Inside(const EXTENT_LIST *list, LONGLONG count, uint64_t offset) {
    uint64_t cluster = (uint64_t)VolData.BytesPerCluster;
    for (LONGLONG i = 0; list && i < count; i++) {
        if (list[i].StartingLcn < 0) continue;
        uint64_t first = (uint64_t)list[i].StartingLcn * cluster;
        if (offset >= first && offset < first + (uint64_t)list[i].ClusterCount * cluster) return true;
    }
    return false;
}

Class ClassOf(uint64_t offset) {
    if (Inside(VolData.pMftExtentList, VolData.MftExtentCount, offset)) return kMft;
    if (Inside(pVolumeBitMapExtent, llVolumeBitMapExtents, offset)) return kBitmap;
    return kData;
}

void Count(Counter *table, HANDLE handle, LPOVERLAPPED overlapped, DWORD done) {
    if (!gCounting || handle != VolData.hVolume || overlapped == nullptr) return;
    uint64_t offset = ((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset;
    Counter &c = table[ClassOf(offset)];
    c.bytes += done;
    c.requests++;
}

}  // namespace

extern "C" BOOL __wrap__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done,
                                                        LPOVERLAPPED overlapped) {
    BOOL ok = __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(handle, buffer, count, done, overlapped);
    if (ok && done) Count(gRead, handle, overlapped, *done);
    return ok;
}

extern "C" BOOL __wrap__Z9WriteFilePvPKvjPjP11_OVERLAPPED(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done,
                                                          LPOVERLAPPED overlapped) {
    BOOL ok = __real__Z9WriteFilePvPKvjPjP11_OVERLAPPED(handle, buffer, count, done, overlapped);
    if (ok && done) Count(gWritten, handle, overlapped, *done);
    return ok;
}

extern "C" BOOL __wrap__Z21CheckVolumeAllocationv() {
    LONGLONG listBytes = VolData.ExtentListBytes;
    auto start = std::chrono::steady_clock::now();
    BOOL ok = __real__Z21CheckVolumeAllocationv();
    gCheckSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    gCheckBytes = (uint64_t)VolumeBitmapBlockBytes() + (uint64_t)(VolData.ExtentListBytes - listBytes);
    gCheckRecords = VolData.TotalFileRecords;
    return ok;
}

extern "C" BOOL __wrap__Z12NTFSMoveFilel(LONGLONG destination) {
    std::vector<std::pair<LONGLONG, LONGLONG>> from;
    for (LONGLONG i = 0; i < VolData.NumberOfExtents; i++)
        if (VolData.pExtentList[i].StartingLcn >= 0)
            from.push_back({VolData.pExtentList[i].StartingLcn, VolData.pExtentList[i].ClusterCount});
    LONGLONG record = VolData.FileRecordNumber;
    BOOL moved = __real__Z12NTFSMoveFilel(destination);
    if (moved) {
        gMoves++;
        gMovedFiles.emplace(record, std::move(from));  // the first move's source stays
    }
    return moved;
}

namespace {

double Seconds(const std::chrono::steady_clock::time_point &from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double MiB(uint64_t bytes) { return (double)bytes / (1 << 20); }

uint64_t Option(int argc, char **argv, const char *name, uint64_t value) {
    for (int i = 1; i + 1 < argc; i++)
        if (!strcmp(argv[i], name)) return strtoull(argv[i + 1], nullptr, 0);
    return value;
}

// Sum of the lengths in the platform's write log.
uint64_t WriteLogBytes(const std::string &file, uint64_t *lines) {
    std::ifstream in(file);
    std::string drive;
    unsigned long long offset, length;
    uint64_t sum = 0;
    *lines = 0;
    while (in >> drive >> offset >> length) {
        sum += length;
        ++*lines;
    }
    return sum;
}

// Reads each moved file's clusters once (the runs in ascending order, large
// requests) and writes the same bytes once, sequentially, to the image's
// last bytes; then syncs. Returns the seconds; *bytes the bytes each way.
double LowerBound(const std::string &image, uint64_t clusterBytes, uint64_t imageBytes, uint64_t *bytes) {
    std::vector<std::pair<LONGLONG, LONGLONG>> runs;
    for (const auto &[record, extents] : gMovedFiles) runs.insert(runs.end(), extents.begin(), extents.end());
    std::sort(runs.begin(), runs.end());
    *bytes = 0;
    for (const auto &r : runs) *bytes += (uint64_t)r.second * clusterBytes;
    int fd = open(image.c_str(), O_RDWR);
    if (fd < 0) return -1;
    const size_t chunk = 1 << 20;
    std::vector<char> buffer(chunk);
    uint64_t writeAt = imageBytes - *bytes;
    auto start = std::chrono::steady_clock::now();
    for (const auto &r : runs) {
        uint64_t offset = (uint64_t)r.first * clusterBytes, left = (uint64_t)r.second * clusterBytes;
        while (left > 0) {
            size_t n = left < chunk ? (size_t)left : chunk;
            if (pread(fd, buffer.data(), n, (off_t)offset) != (ssize_t)n ||
                pwrite(fd, buffer.data(), n, (off_t)writeAt) != (ssize_t)n) {
                close(fd);
                return -1;
            }
            offset += n;
            writeAt += n;
            left -= n;
        }
    }
    fsync(fd);
    double seconds = Seconds(start);
    close(fd);
    return seconds;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t size = Option(argc, argv, "--size", 1ull << 30);
    uint32_t cluster = (uint32_t)Option(argc, argv, "--cluster", 4096);
    uint32_t files = (uint32_t)Option(argc, argv, "--files", 4000);
    uint64_t seed = Option(argc, argv, "--seed", 1);

    imgkit::ScratchDir dir;
    std::string image = dir.file("c.img"), copy = dir.file("before.img"), machine = dir.file("m");
    auto t = std::chrono::steady_clock::now();
    imgkit::make_ntfs(image, size, cluster);
    imgkit::fill(image, imgkit::Profile::bench(files), seed);
    double fillSeconds = Seconds(t);
    imgkit::FragCounts before = imgkit::count(image);
    imgkit::copy_image(image, copy);
    ntm::create_machine(machine);
    ntm::attach_drive(machine, "C:", "image", image);
    setenv("NT_MACHINE", machine.c_str(), 1);
    std::string writeLog = dir.file("writes.log");
    setenv("NT_WRITE_LOG", writeLog.c_str(), 1);
    setenv("NT_TIME_SCALE", "0", 1);

    // The options main leaves for "C: DIRS=NONE FILES=FULL".
    bMoveFiles = bMoveAttrs = 1;
    bDfrgBins = bDfrgShel = bWho = bShowEH = bEndPause = bLast50 = 0;
    lDirsOpt = 0;
    lFileOpt = 1;
    lFilesPending = 1;
    lDirsPending = 0;
    lPageOpt = 0;
    lMFTOpt = -1;
    lLogLevel = 0;

    // The run's screen goes to a file (it shows every move).
    fflush(stdout);
    int saved = dup(1);
    int screen = open(dir.file("screen.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(screen, 1);
    auto runStart = std::chrono::steady_clock::now();
    gCounting = true;
    BOOL ok = Initialize(u"C:") && InitializeDefrag();
    double setupSeconds = Seconds(runStart);
    auto stagesStart = std::chrono::steady_clock::now();
    BOOL result = ok ? OffLineDefrag() : FALSE;
    double stageSeconds = Seconds(stagesStart);
    OffLineExit();
    gCounting = false;
    double runSeconds = Seconds(runStart);
    fflush(stdout);
    dup2(saved, 1);
    close(screen);
    close(saved);
    if (!ok || !result) {
        fprintf(stderr, "the run failed (setup %d, stages %d); screen in %s\n", ok, result,
                dir.file("screen.txt").c_str());
        return 1;
    }

    imgkit::FragCounts after = imgkit::count(image);
    uint64_t logLines = 0, logBytes = WriteLogBytes(writeLog, &logLines);
    uint64_t lowerBytes = 0;
    double lowerSeconds = LowerBound(copy, cluster, size, &lowerBytes);

    Counter readTotal, writeTotal;
    for (int c = 0; c < kClasses; c++) {
        readTotal.bytes += gRead[c].bytes, readTotal.requests += gRead[c].requests;
        writeTotal.bytes += gWritten[c].bytes, writeTotal.requests += gWritten[c].requests;
    }
    printf("NTFS FILES=FULL run: %.0f MiB image, %u-byte clusters, %llu files (%llu with clusters), fill %.1f s\n",
           MiB(size), cluster, (unsigned long long)before.files,
           (unsigned long long)std::count_if(
               before.items.begin(), before.items.end(),
               [](const imgkit::ItemCount &i) { return i.kind == imgkit::ItemCount::file && i.clusters > 0; }),
           fillSeconds);
    printf("fragmented files %llu -> %llu; free extents %llu -> %llu\n", (unsigned long long)before.fragmented_files,
           (unsigned long long)after.fragmented_files, (unsigned long long)before.free_extents,
           (unsigned long long)after.free_extents);
    printf("moves %llu, distinct files moved %zu\n\n", (unsigned long long)gMoves, gMovedFiles.size());
    printf("%-28s %10s %10s %10s %10s\n", "", "read MiB", "requests", "write MiB", "requests");
    printf("run: wall %.2f s (setup %.2f s, stages %.2f s)\n", runSeconds, setupSeconds, stageSeconds);
    printf("  check before the first write: %.3f s (%.1f%% of the run), one walk of %lld records, %.0f KiB held\n",
           gCheckSeconds, runSeconds > 0 ? 100 * gCheckSeconds / runSeconds : 0.0, (long long)gCheckRecords,
           (double)gCheckBytes / 1024);
    for (int c = 0; c < kClasses; c++)
        printf("  %-26s %10.1f %10llu %10.1f %10llu\n", kClassNames[c], MiB(gRead[c].bytes),
               (unsigned long long)gRead[c].requests, MiB(gWritten[c].bytes), (unsigned long long)gWritten[c].requests);
    printf("  %-26s %10.1f %10llu %10.1f %10llu\n", "total", MiB(readTotal.bytes),
           (unsigned long long)readTotal.requests, MiB(writeTotal.bytes), (unsigned long long)writeTotal.requests);
    printf("  platform write log: %.1f MiB in %llu writes (%s)\n", MiB(logBytes), (unsigned long long)logLines,
           logBytes == writeTotal.bytes && logLines == writeTotal.requests ? "agrees" : "DIFFERS");
    printf("lower bound: wall %.2f s (each moved byte read once and written once, sequential, 1 MiB requests)\n",
           lowerSeconds);
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kData], MiB(lowerBytes), "", MiB(lowerBytes));
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kBitmap], 0.0, "", 0.0);
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kMft], 0.0, "", 0.0);
    if (lowerSeconds > 0 && lowerBytes > 0)
        printf("ratios run / lower bound: time %.1f, bytes read %.1f, bytes written %.1f, file data read %.2f\n",
               runSeconds / lowerSeconds, (double)readTotal.bytes / lowerBytes, (double)writeTotal.bytes / lowerBytes,
               (double)gRead[kData].bytes / lowerBytes);
    return 0;
}
