// Stand-ins for the NTFS volume setup, stage driver and teardown until they
// are built: each refuses the run with a clear line, so that a run ends
// normally (teardown, the 15-second wait and the reboot) without touching
// the volume.
#include "frame.h"

// Refuses the run: there is no NTFS volume setup in this program yet.
BOOL Initialize(const WCHAR *drive)
{
    ShowDiag(u"NTFS volume setup is not part of this program yet: the volume is left untouched.\n");
    return FALSE;
}

// Refuses: nothing to prepare without a volume setup.
BOOL InitializeDefrag(void)
{
    ShowDiag(u"NTFS run preparation is not part of this program yet.\n");
    return FALSE;
}

// Nothing to show without a volume setup.
void DisplayNtfsVolumeStats(void)
{
    ShowDiag(u"NTFS partition data is not available in this program yet.\n");
}

// Refuses: the NTFS stages are not part of this program yet.
BOOL OffLineDefrag(void)
{
    ShowDiag(u"NTFS defragmentation stages are not part of this program yet.\n");
    return FALSE;
}

// Ends the run: closes the log (nothing else was opened).
BOOL OffLineExit(void)
{
    if (bLogFile && hLogFile != NULL) {
        CloseLogFile(hLogFile);
        hLogFile = NULL;
    }
    return TRUE;
}
