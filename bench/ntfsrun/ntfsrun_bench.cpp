// A full FILES=FULL run on an NTFS image with thousands of files, set up
// as main sets it up (Initialize, InitializeDefrag, OffLineDefrag,
// OffLineExit), against the plain lower bound: reading once and writing once
// each byte of the files that moved, sequentially. Prints, in one run, the
// wall times and the bytes read and written, split into file data, volume
// bitmap and MFT.
//
//   bench_ntfsrun [--size BYTES] [--cluster BYTES] [--files N] [--seed N]
//   bench_ntfsrun --scale [--sizes 1,4,16,64] [--files-per-gib N]
//                 [--max-files N] [--warm GIB] [--cluster BYTES] [--seed N]
//
// --scale runs one sparse image per size (GiB), with files-per-gib (default
// 4000) files per GiB but never more than max-files (default 64000), and
// prints one line per size: moves, wall time, time per move (in all, outside
// the raw requests, and in user CPU), bytes by class, requests, the
// program's peak heap, and the modelled times below. Its images keep the
// MFT in one piece (the kit cannot always break it up on the larger ones;
// FILES=FULL does not move it).
//
// --warm N (GiB) fills N GiB of holes of each image (free space that was
// never written, from the start of the volume but outside the MFT area that
// placement keeps clear) with zeros between the program's setup and its
// stages, and the holes of the lower bound's target before it, untimed: no
// byte changes, but the run then writes into memory the machine already
// holds. On a virtual machine whose host backs guest memory only when it is first
// touched (and takes it back when it is freed), that first touch can cost
// more than everything else the run does; --warm takes it out of both the
// run and the lower bound. Under the table line: where the warming stopped
// and how many bytes the run wrote past it.
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
//
// The modelled times: the page cache hides what the requests would cost on
// a real disk, so every request of the run is also priced as one head would
// serve them: a request that does not start where the one before it ended
// costs a seek, and every byte costs 1/bandwidth. Hard disk: 8.5 ms a seek
// (average seek and half a turn at 7,200 rpm), 160 MB/s; SSD: 0.08 ms a
// request that does not continue the one before, 500 MB/s. The lower bound
// is priced as one read and one write request for every run of a moved file
// (each in one seek) and its bytes each way.
#include <fcntl.h>
#include <sys/resource.h>
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

// Seconds spent inside the volume's raw requests (what the host's page cache
// or disk costs), apart from the program's own work around them.
double gIoSeconds = 0;

// The request trace as one head sees it: where the last request ended, and
// the requests that did not start there.
uint64_t gHeadAt = UINT64_MAX, gJumps = 0;
uint64_t gWarmEnd = UINT64_MAX, gColdBytes = 0;  // --warm: the warmed bytes, the bytes written past them

// The program's heap at the start of the run and the least left since
// (sampled at every request: blocks alive across a request are seen).
LONGLONG gHeapAtStart = -1, gHeapLeast = -1;

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

void Count(Counter *table, HANDLE handle, LPOVERLAPPED overlapped, DWORD done,
           const std::chrono::steady_clock::time_point &start) {
    if (!gCounting || handle != VolData.hVolume || overlapped == nullptr) return;
    gIoSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t offset = ((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset;
    if (table == gWritten && offset + done > gWarmEnd) gColdBytes += offset + done - std::max(offset, gWarmEnd);
    Counter &c = table[ClassOf(offset)];
    c.bytes += done;
    c.requests++;
    if (offset != gHeadAt) gJumps++;
    gHeadAt = offset + done;
    if (HeapLeft >= 0 && (gHeapLeast < 0 || HeapLeft < gHeapLeast)) gHeapLeast = HeapLeft;
}

// The disk models (see the top of the file).
struct DiskModel {
    const char *name;
    double seekSeconds, bytesPerSecond;
};
const DiskModel kModels[] = {{"HDD", 8.5e-3, 160e6}, {"SSD", 0.08e-3, 500e6}};

double Modelled(const DiskModel &m, uint64_t jumps, uint64_t bytes) {
    return (double)jumps * m.seekSeconds + (double)bytes / m.bytesPerSecond;
}

}  // namespace

extern "C" BOOL __wrap__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done,
                                                        LPOVERLAPPED overlapped) {
    auto start = std::chrono::steady_clock::now();
    BOOL ok = __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(handle, buffer, count, done, overlapped);
    if (ok && done) Count(gRead, handle, overlapped, *done, start);
    return ok;
}

extern "C" BOOL __wrap__Z9WriteFilePvPKvjPjP11_OVERLAPPED(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done,
                                                          LPOVERLAPPED overlapped) {
    auto start = std::chrono::steady_clock::now();
    BOOL ok = __real__Z9WriteFilePvPKvjPjP11_OVERLAPPED(handle, buffer, count, done, overlapped);
    if (ok && done) Count(gWritten, handle, overlapped, *done, start);
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

double CpuSeconds(const timeval &t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

void SyncFile(const std::string &file) {
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

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

// Writes zeros into the holes of [from, to) of the file, at most *budget
// bytes, and takes what it wrote off *budget (what the file reads does not
// change). Returns where it stopped, or UINT64_MAX when it cannot write.
uint64_t FillHoles(const std::string &file, uint64_t from, uint64_t to, uint64_t *budget) {
    int fd = open(file.c_str(), O_RDWR);
    if (fd < 0) return UINT64_MAX;
    std::vector<char> zeros(1 << 20, 0);
    uint64_t at = from;
    while (at<to && * budget> 0) {
        off_t hole = lseek(fd, (off_t)at, SEEK_HOLE);
        if (hole < 0 || (uint64_t)hole >= to) {
            at = to;
            break;
        }
        off_t data = lseek(fd, hole, SEEK_DATA);
        uint64_t end = std::min({data < 0 ? to : (uint64_t)data, to, (uint64_t)hole + *budget});
        for (at = (uint64_t)hole; at < end;) {
            size_t n = (size_t)std::min<uint64_t>(zeros.size(), end - at);
            if (pwrite(fd, zeros.data(), n, (off_t)at) != (ssize_t)n) {
                close(fd);
                return UINT64_MAX;
            }
            at += n;
            *budget -= n;
        }
    }
    close(fd);
    return at;
}

// Reads each moved file's clusters once (the runs in ascending order, large
// requests) and writes the same bytes once, sequentially, to the image's
// last bytes (warmed first when asked); then syncs. Returns the seconds;
// *bytes the bytes each way, *runCount the runs.
double LowerBound(const std::string &image, uint64_t clusterBytes, uint64_t imageBytes, bool warm, uint64_t *bytes,
                  uint64_t *runCount) {
    std::vector<std::pair<LONGLONG, LONGLONG>> runs;
    for (const auto &[record, extents] : gMovedFiles) runs.insert(runs.end(), extents.begin(), extents.end());
    std::sort(runs.begin(), runs.end());
    *runCount = runs.size();
    *bytes = 0;
    for (const auto &r : runs) *bytes += (uint64_t)r.second * clusterBytes;
    uint64_t budget = *bytes;
    if (warm && FillHoles(image, imageBytes - *bytes, imageBytes, &budget) == UINT64_MAX) return -1;
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

// What one run measured.
struct Result {
    uint64_t size = 0, files = 0, filesWithClusters = 0, moves = 0, movedFiles = 0;
    double fillSeconds = 0, runSeconds = 0, setupSeconds = 0, stageSeconds = 0, lowerSeconds = 0;
    double ioSeconds = 0, userSeconds = 0, systemSeconds = 0;  // in raw requests; CPU of the process
    imgkit::FragCounts before, after;
    Counter read[kClasses], written[kClasses], readTotal, writeTotal;
    uint64_t jumps = 0, logBytes = 0, logLines = 0, lowerBytes = 0, lowerRuns = 0;
    uint64_t heapPeak = 0, warmFrom = 0, warmEnd = 0, coldBytes = 0;
};

// --warm, between the program's setup and its stages: `budget` bytes of the
// image's holes from the start of the volume, outside the MFT area that
// placement keeps clear (where the stages put files). Sets r->warmFrom and
// r->warmEnd (the warmed part past the area). FALSE when it cannot write.
bool WarmFreeSpace(const std::string &image, uint64_t size, uint64_t budget, Result *r) {
    uint64_t cluster = (uint64_t)VolData.BytesPerCluster;
    uint64_t areaFirst = (uint64_t)VolData.MftZoneStart * cluster;
    uint64_t areaEnd = ((uint64_t)std::max(VolData.MftZoneEnd, VolData.MftZoneLimit) + 1) * cluster;
    r->warmFrom = areaEnd;
    r->warmEnd =
        FillHoles(image, 0, areaFirst, &budget) == UINT64_MAX ? UINT64_MAX : FillHoles(image, areaEnd, size, &budget);
    return r->warmEnd != UINT64_MAX;
}

// Makes and fills an image of `size` bytes, runs DIRS=NONE FILES=FULL on it
// and measures the lower bound: on a copy taken before the run (copyFirst),
// or else on the image after the run (no second image on the disk; the
// moved files' old clusters still hold their bytes). warmBytes: how much of
// the image to warm first (see --warm). FALSE when the run failed (reported).
bool RunOnce(uint64_t size, uint32_t cluster, const imgkit::Profile &profile, uint64_t seed, bool copyFirst,
             uint64_t warmBytes, Result *r) {
    imgkit::ScratchDir dir;
    std::string image = dir.file("c.img"), copy = dir.file("before.img"), machine = dir.file("m");
    auto t = std::chrono::steady_clock::now();
    imgkit::make_ntfs(image, size, cluster);
    try {
        imgkit::fill(image, profile, seed);
    } catch (const imgkit::Error &e) {
        fprintf(stderr, "the %llu MiB image could not be filled: %s\n", (unsigned long long)(size >> 20), e.what());
        return false;
    }
    r->size = size;
    r->fillSeconds = Seconds(t);
    r->before = imgkit::count(image);
    r->files = r->before.files;
    r->filesWithClusters = (uint64_t)std::count_if(r->before.items.begin(), r->before.items.end(), [](const auto &i) {
        return i.kind == imgkit::ItemCount::file && i.clusters > 0;
    });
    if (copyFirst) imgkit::copy_image(image, copy);
    SyncFile(image);  // the fill's write-back is not the run's
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
    for (int c = 0; c < kClasses; c++) gRead[c] = gWritten[c] = Counter();
    gMovedFiles.clear();
    gMoves = 0;
    gHeadAt = UINT64_MAX, gJumps = 0;

    // The run's screen goes to a file (it shows every move).
    fflush(stdout);
    int saved = dup(1);
    int screen = open(dir.file("screen.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(screen, 1);
    if (HeapLeft == -1) GlobalFree(GlobalAlloc(0, 1));  // the heap measures its budget at its first block
    gHeapAtStart = gHeapLeast = HeapLeft;
    gIoSeconds = 0;
    struct rusage usageBefore, usageAfter;
    getrusage(RUSAGE_SELF, &usageBefore);
    auto runStart = std::chrono::steady_clock::now();
    gCounting = true;
    BOOL ok = Initialize(u"C:") && InitializeDefrag();
    r->setupSeconds = Seconds(runStart);
    double warmUser = 0, warmSystem = 0;
    gWarmEnd = UINT64_MAX, gColdBytes = 0;
    if (ok && warmBytes) {  // untimed, and its CPU time is not the run's
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        if (WarmFreeSpace(image, size, warmBytes, r)) {
            gWarmEnd = r->warmEnd;
        } else {
            fprintf(stderr, "could not warm %s\n", image.c_str());
            ok = FALSE;
        }
        getrusage(RUSAGE_SELF, &after);
        warmUser = CpuSeconds(after.ru_utime) - CpuSeconds(before.ru_utime);
        warmSystem = CpuSeconds(after.ru_stime) - CpuSeconds(before.ru_stime);
    }
    auto stagesStart = std::chrono::steady_clock::now();
    BOOL result = ok ? OffLineDefrag() : FALSE;
    r->stageSeconds = Seconds(stagesStart);
    OffLineExit();
    gCounting = false;
    r->runSeconds = r->setupSeconds + Seconds(stagesStart);
    getrusage(RUSAGE_SELF, &usageAfter);
    r->ioSeconds = gIoSeconds;
    r->userSeconds = CpuSeconds(usageAfter.ru_utime) - CpuSeconds(usageBefore.ru_utime) - warmUser;
    r->systemSeconds = CpuSeconds(usageAfter.ru_stime) - CpuSeconds(usageBefore.ru_stime) - warmSystem;
    fflush(stdout);
    dup2(saved, 1);
    close(screen);
    close(saved);
    if (!ok || !result) {
        fprintf(stderr, "the run failed (setup %d, stages %d); screen in %s\n", ok, result,
                dir.file("screen.txt").c_str());
        return false;
    }
    r->heapPeak = gHeapAtStart >= 0 && gHeapLeast >= 0 ? (uint64_t)(gHeapAtStart - gHeapLeast) : 0;
    r->after = imgkit::count(image);
    r->logBytes = WriteLogBytes(writeLog, &r->logLines);
    r->coldBytes = gColdBytes;
    r->lowerSeconds = LowerBound(copyFirst ? copy : image, cluster, size, warmBytes > 0, &r->lowerBytes, &r->lowerRuns);
    r->moves = gMoves;
    r->movedFiles = gMovedFiles.size();
    r->jumps = gJumps;
    for (int c = 0; c < kClasses; c++) {
        r->read[c] = gRead[c], r->written[c] = gWritten[c];
        r->readTotal.bytes += gRead[c].bytes, r->readTotal.requests += gRead[c].requests;
        r->writeTotal.bytes += gWritten[c].bytes, r->writeTotal.requests += gWritten[c].requests;
    }
    return true;
}

void PrintModelled(const Result &r) {
    for (const DiskModel &m : kModels)
        printf("modelled %s (%.2f ms a seek, %.0f MB/s): run %.1f s (%llu seeks), lower bound %.1f s (%llu seeks)\n",
               m.name, m.seekSeconds * 1e3, m.bytesPerSecond / 1e6,
               Modelled(m, r.jumps, r.readTotal.bytes + r.writeTotal.bytes), (unsigned long long)r.jumps,
               Modelled(m, 2 * r.lowerRuns, 2 * r.lowerBytes), (unsigned long long)(2 * r.lowerRuns));
}

// The report of one run, as the benchmark has always printed it.
void PrintOne(const Result &r, uint32_t cluster) {
    printf("NTFS FILES=FULL run: %.0f MiB image, %u-byte clusters, %llu files (%llu with clusters), fill %.1f s\n",
           MiB(r.size), cluster, (unsigned long long)r.files, (unsigned long long)r.filesWithClusters, r.fillSeconds);
    printf("fragmented files %llu -> %llu; free extents %llu -> %llu\n", (unsigned long long)r.before.fragmented_files,
           (unsigned long long)r.after.fragmented_files, (unsigned long long)r.before.free_extents,
           (unsigned long long)r.after.free_extents);
    printf("moves %llu, distinct files moved %llu\n\n", (unsigned long long)r.moves, (unsigned long long)r.movedFiles);
    printf("%-28s %10s %10s %10s %10s\n", "", "read MiB", "requests", "write MiB", "requests");
    printf("run: wall %.2f s (setup %.2f s, stages %.2f s), peak heap %.1f MiB\n", r.runSeconds, r.setupSeconds,
           r.stageSeconds, MiB(r.heapPeak));
    printf("  in raw requests %.2f s, the rest %.2f s; CPU user %.2f s, system %.2f s\n", r.ioSeconds,
           r.runSeconds - r.ioSeconds, r.userSeconds, r.systemSeconds);
    printf("  check before the first write: %.3f s (%.1f%% of the run), one walk of %lld records, %.0f KiB held\n",
           gCheckSeconds, r.runSeconds > 0 ? 100 * gCheckSeconds / r.runSeconds : 0.0, (long long)gCheckRecords,
           (double)gCheckBytes / 1024);
    for (int c = 0; c < kClasses; c++)
        printf("  %-26s %10.1f %10llu %10.1f %10llu\n", kClassNames[c], MiB(r.read[c].bytes),
               (unsigned long long)r.read[c].requests, MiB(r.written[c].bytes),
               (unsigned long long)r.written[c].requests);
    printf("  %-26s %10.1f %10llu %10.1f %10llu\n", "total", MiB(r.readTotal.bytes),
           (unsigned long long)r.readTotal.requests, MiB(r.writeTotal.bytes),
           (unsigned long long)r.writeTotal.requests);
    printf("  platform write log: %.1f MiB in %llu writes (%s)\n", MiB(r.logBytes), (unsigned long long)r.logLines,
           r.logBytes == r.writeTotal.bytes && r.logLines == r.writeTotal.requests ? "agrees" : "DIFFERS");
    printf("lower bound: wall %.2f s (each moved byte read once and written once, sequential, 1 MiB requests)\n",
           r.lowerSeconds);
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kData], MiB(r.lowerBytes), "", MiB(r.lowerBytes));
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kBitmap], 0.0, "", 0.0);
    printf("  %-26s %10.1f %10s %10.1f\n", kClassNames[kMft], 0.0, "", 0.0);
    if (r.lowerSeconds > 0 && r.lowerBytes > 0)
        printf("ratios run / lower bound: time %.1f, bytes read %.1f, bytes written %.1f, file data read %.2f\n",
               r.runSeconds / r.lowerSeconds, (double)r.readTotal.bytes / r.lowerBytes,
               (double)r.writeTotal.bytes / r.lowerBytes, (double)r.read[kData].bytes / r.lowerBytes);
    PrintModelled(r);
}

std::string Text(int argc, char **argv, const char *name, const char *value) {
    for (int i = 1; i + 1 < argc; i++)
        if (!strcmp(argv[i], name)) return argv[i + 1];
    return value;
}

// --scale: one image per size, a table of what grows with the volume.
int Scale(int argc, char **argv) {
    std::string sizes = Text(argc, argv, "--sizes", "1,4,16,64");
    uint32_t cluster = (uint32_t)Option(argc, argv, "--cluster", 4096);
    uint64_t perGib = Option(argc, argv, "--files-per-gib", 4000);
    uint64_t maxFiles = Option(argc, argv, "--max-files", 64000);
    uint64_t seed = Option(argc, argv, "--seed", 1);
    uint64_t warm = Option(argc, argv, "--warm", 0) << 30;
    printf("NTFS FILES=FULL runs on sparse images, %u-byte clusters, %llu files per GiB, at most %llu files", cluster,
           (unsigned long long)perGib, (unsigned long long)maxFiles);
    if (warm)
        printf("; %llu GiB of each image's holes and the lower bound's target warmed",
               (unsigned long long)(warm >> 30));
    printf("\n");
    printf("bytes in MiB, read/written; requests read/written; per move: time, bitmap bytes written; (b+m)/d: bitmap "
           "and MFT bytes written over file data bytes written; modelled HDD and SSD times of the run\n");
    printf("%5s %7s %7s %6s %8s %9s %7s %9s %9s %9s %11s %11s %11s %13s %7s %7s %7s %8s %8s\n", "GiB", "files", "moves",
           "fill s", "wall s", "ms/move", "I/O s", "rest/mv", "user/mv", "data r/w", "bitmap r/w", "MFT r/w",
           "requests", "bm B/move", "(b+m)/d", "heapMiB", "lower s", "HDD s", "SSD s");
    std::vector<Result> results;
    for (size_t at = 0; at < sizes.size();) {
        size_t comma = sizes.find(',', at);
        if (comma == std::string::npos) comma = sizes.size();
        uint64_t gib = strtoull(sizes.substr(at, comma - at).c_str(), nullptr, 10);
        at = comma + 1;
        if (gib == 0) continue;
        uint64_t files = std::min(maxFiles, gib * perGib);
        // The MFT is left in one piece: the kit cannot always break it up on
        // the larger images, and FILES=FULL does not move it.
        imgkit::Profile profile = imgkit::Profile::bench((uint32_t)files);
        profile.mft_fragments = 0;
        Result r;
        if (!RunOnce(gib << 30, cluster, profile, seed, false, warm, &r)) return 1;
        double perMove = r.moves ? 1e3 * r.runSeconds / (double)r.moves : 0;
        double metaShare = r.written[kData].bytes
                               ? (double)(r.written[kBitmap].bytes + r.written[kMft].bytes) / r.written[kData].bytes
                               : 0;
        char data[32], bitmap[32], mft[32], requests[32];
        snprintf(data, sizeof data, "%.0f/%.0f", MiB(r.read[kData].bytes), MiB(r.written[kData].bytes));
        snprintf(bitmap, sizeof bitmap, "%.1f/%.1f", MiB(r.read[kBitmap].bytes), MiB(r.written[kBitmap].bytes));
        snprintf(mft, sizeof mft, "%.0f/%.1f", MiB(r.read[kMft].bytes), MiB(r.written[kMft].bytes));
        snprintf(requests, sizeof requests, "%llu/%llu", (unsigned long long)r.readTotal.requests,
                 (unsigned long long)r.writeTotal.requests);
        double restPerMove = r.moves ? 1e3 * (r.runSeconds - r.ioSeconds) / (double)r.moves : 0;
        double userPerMove = r.moves ? 1e3 * r.userSeconds / (double)r.moves : 0;
        printf(
            "%5llu %7llu %7llu %6.1f %8.2f %9.3f %7.2f %9.3f %9.3f %9s %11s %11s %11s %13.0f %7.3f %7.1f %7.2f %8.1f "
            "%8.2f\n",
            (unsigned long long)gib, (unsigned long long)r.files, (unsigned long long)r.moves, r.fillSeconds,
            r.runSeconds, perMove, r.ioSeconds, restPerMove, userPerMove, data, bitmap, mft, requests,
            r.moves ? (double)r.written[kBitmap].bytes / (double)r.moves : 0.0, metaShare, MiB(r.heapPeak),
            r.lowerSeconds, Modelled(kModels[0], r.jumps, r.readTotal.bytes + r.writeTotal.bytes),
            Modelled(kModels[1], r.jumps, r.readTotal.bytes + r.writeTotal.bytes));
        if (warm)
            printf("      %llu GiB: warmed from %.0f to %.0f MiB (and below the MFT area); %.1f MiB written past it\n",
                   (unsigned long long)gib, MiB(r.warmFrom), MiB(r.warmEnd), MiB(r.coldBytes));
        fflush(stdout);
        results.push_back(r);
    }
    printf("lower bound, modelled: ");
    for (const Result &r : results)
        printf("%s%llu GiB HDD %.1f s SSD %.2f s", &r == &results[0] ? "" : "; ", (unsigned long long)(r.size >> 30),
               Modelled(kModels[0], 2 * r.lowerRuns, 2 * r.lowerBytes),
               Modelled(kModels[1], 2 * r.lowerRuns, 2 * r.lowerBytes));
    printf("\n");
    if (results.size() >= 2 && results.front().moves && results.back().moves) {
        const Result &a = results.front(), &b = results.back();
        printf("time per move, %llu GiB over %llu GiB: %.2f\n", (unsigned long long)(b.size >> 30),
               (unsigned long long)(a.size >> 30), (b.runSeconds / (double)b.moves) / (a.runSeconds / (double)a.moves));
        printf("outside raw requests, per move, %llu GiB over %llu GiB: %.2f\n", (unsigned long long)(b.size >> 30),
               (unsigned long long)(a.size >> 30),
               ((b.runSeconds - b.ioSeconds) / (double)b.moves) / ((a.runSeconds - a.ioSeconds) / (double)a.moves));
        if (a.userSeconds > 0)
            printf("user CPU per move, %llu GiB over %llu GiB: %.2f\n", (unsigned long long)(b.size >> 30),
                   (unsigned long long)(a.size >> 30),
                   (b.userSeconds / (double)b.moves) / (a.userSeconds / (double)a.moves));
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], "--scale")) return Scale(argc, argv);
    uint64_t size = Option(argc, argv, "--size", 1ull << 30);
    uint32_t cluster = (uint32_t)Option(argc, argv, "--cluster", 4096);
    uint32_t files = (uint32_t)Option(argc, argv, "--files", 4000);
    uint64_t seed = Option(argc, argv, "--seed", 1);
    Result r;
    if (!RunOnce(size, cluster, imgkit::Profile::bench(files), seed, true, 0, &r)) return 1;
    PrintOne(r, cluster);
    return 0;
}
