// Stand-in for the NTFS stage driver until it is built: it refuses with a
// clear line and touches nothing, so that a run ends normally (teardown, the
// 15-second wait and the reboot) with the volume as setup left it.
#include "frame.h"

// Refuses: the NTFS stages are not part of this program yet.
BOOL OffLineDefrag(void)
{
    ShowDiag(u"NTFS defragmentation stages are not part of this program yet.\n");
    return FALSE;
}
