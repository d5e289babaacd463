// Stand-ins for the FAT volume setup, stage driver and teardown until they
// are built: each refuses the run with a clear line, so that a run ends
// normally (teardown, the 15-second wait and the reboot) without touching
// the volume.
#include "fat.h"

// Refuses the run: there is no FAT volume setup in this program yet.
BOOL Initialize(const WCHAR *drive) {
    ShowDiag(u"FAT volume setup is not part of this program yet: the volume is left untouched.\n");
    return FALSE;
}

// Refuses: nothing to prepare without a volume setup.
BOOL InitializeDefrag(void) {
    ShowDiag(u"FAT run preparation is not part of this program yet.\n");
    return FALSE;
}

// Nothing to show without a volume setup.
void DisplayFatVolumeStats(void) { ShowDiag(u"FAT partition data is not available in this program yet.\n"); }

// Refuses: the FAT stages are not part of this program yet.
BOOL OffLineDefrag(void) {
    ShowDiag(u"FAT defragmentation stages are not part of this program yet.\n");
    return FALSE;
}

// Ends the run: closes the log (nothing else was opened).
BOOL OffLineExit(void) {
    if (bLogFile && hLogFile != nullptr) {
        CloseLogFile(hLogFile);
        hLogFile = nullptr;
    }
    return TRUE;
}
