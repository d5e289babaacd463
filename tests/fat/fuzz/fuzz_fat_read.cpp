// Fuzz target: the FAT read side over a whole volume. The input is the
// start of a volume image (boot sector, FATs, root directory, the first
// clusters), the rest of a 272 MiB volume (sparse) is zeros; the platform's FAT driver
// mounts it when it can, and the engine then checks the boot sector, walks
// every chain (GetExtentListManuallyFat), rebuilds the bitmap from the FAT
// and walks the directory tree with its long names to the end. Whatever the
// input, nothing may crash, hang or leak a block.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fat.h"

namespace {

const off_t kVolumeBytes = (off_t)272 << 20;
std::string gRoot, gImage;

void Trap(bool ok) {
    if (!ok) __builtin_trap();
}

void WriteText(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Trap(fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size());
    close(fd);
}

// The machine folder goes when the fuzzer ends.
void RemoveMachine() {
    unlink(gImage.c_str());
    unlink((gRoot + "/config/SYSTEM").c_str());
    unlink((gRoot + "/drives").c_str());
    rmdir((gRoot + "/config").c_str());
    rmdir(gRoot.c_str());
}

// Once per process: a machine folder whose drive C: is the image, the
// screen silenced.
bool InitOnce() {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    char shm[] = "/dev/shm/fatfuzz-XXXXXX", tmp[] = "/tmp/fatfuzz-XXXXXX";
    char *folder = mkdtemp(shm);
    if (folder == nullptr) folder = mkdtemp(tmp);
    Trap(folder != nullptr);
    std::string root = gRoot = folder;
    gImage = root + "/c.img";
    atexit(RemoveMachine);
    Trap(mkdir((root + "/config").c_str(), 0755) == 0);
    WriteText(root + "/config/SYSTEM", "");
    WriteText(root + "/drives", "C: image " + gImage + "\n");
    setenv("NT_MACHINE", root.c_str(), 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = InitOnce();
    (void)ready;
    int fd = open(gImage.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    Trap(fd >= 0 && write(fd, data, size) == (ssize_t)size && ftruncate(fd, kVolumeBytes) == 0);
    close(fd);

    DWORD units = dwNumUnits;
    memset(&VolData, 0, sizeof VolData);
    VolData.cDrive[0] = u'C';
    VolData.cDrive[1] = u':';
    if (GetFatVolumeStats()) {
        VolData.ExtentListBytes = 0x28000;
        Trap(AllocateMemory((DWORD)VolData.ExtentListBytes, &VolData.hExtentList, (void **)&VolData.pExtentList));
        Trap(AllocateMemory((DWORD)(VolData.BitmapSizeBytes + 24), &VolData.hVolumeBitmap, nullptr));
        if (GetFatBootSector()) {
            ManualGetVolumeBitmap();
            for (;;) {
                if (!NextFatFile() || VolData.cFileName[0] == 0) break;
                Trap(TreeData.dwLevel < FAT_TREE_LEVELS);
                if (GetExtentListManuallyFat())
                    Trap(VolData.NumberOfExtents * (LONGLONG)sizeof(EXTENT_LIST) <= VolData.ExtentListBytes &&
                         VolData.NumberOfClusters <= VolData.TotalClusters);
            }
        }
    }
    OffLineExit();
    Trap(dwNumUnits == units);
    return 0;
}
