// Stand-in for the FAT stage driver until it is built: the start of a run
// (the walk reset, the bitmap rebuilt from the FAT) and the gathering walk,
// which builds every entry's extent list; then a line saying that the
// defragmentation stages are not part of this build. Nothing is written to
// the volume.
#include "fat.h"

BOOL OffLineDefrag(void) {
    LONGLONG files = 0, directories = 0, directoryClusters = 0;

    if (!GetFatBootSector() || !ManualGetVolumeBitmap()) {
        ERROR_REPORT();
        return FALSE;
    }
    ShowMessage(u"*** STAGE 1 *** Gathering Partition Information \n");
    for (;;) {
        if (!NextFatFile()) {
            ERROR_REPORT();
            return FALSE;
        }
        if (VolData.cFileName[0] == 0) break;
        if (!GetExtentListManuallyFat()) {
            ERROR_REPORT();
            return FALSE;
        }
        if (VolData.NumberOfClusters == 0) continue;
        if (++files % 100 == 0) {
            swprintf(cOutline, u"\rLocated %ld files...        ", (LONG)files);
            ShowProgress(cOutline);
        }
        if (VolData.bDirectory) {
            directories++;
            directoryClusters += VolData.NumberOfClusters;
        }
    }
    swprintf(cOutline, u"\rLocated %ld files (%ld directories in %ld clusters)\n\n", (LONG)files, (LONG)directories,
             (LONG)directoryClusters);
    ShowMessage(cOutline);
    ShowMessage(u"FAT defragmentation stages not available in this build; the volume is left as it is\n\n");
    return TRUE;
}
