// Extent lists: merging the current file's adjacent runs, counting its
// fragments and finding where it is considered to start on the disk.
#include "frame.h"

// Takes the current file's runs (VolData.pExtentList, NumberOfExtents, in
// virtual-cluster order) and merges each run that begins exactly where the
// run before it ended (as that run stood before the merge) into the run
// before it; only StartingLcn and ClusterCount are copied into the surviving
// entries, their other fields stay as they were. A sparse run (StartingLcn
// -1) is never merged with a neighbour: sparse clusters and clusters on disk
// are different things even where the numbers happen to meet. Then counts
// the fragments (sparse runs neither count nor break contiguity), sets
// NumberOfExtents, NumberOfFragments, bFragmented (2 fragments or more) and
// LowestLcn. An empty list changes nothing. Returns TRUE; FALSE after the
// error report for a list that is missing, has a negative count or does not
// fit in ExtentListBytes.
BOOL CollapseExtentList(void) {
    LONGLONG count = VolData.NumberOfExtents;
    if (count == 0) return TRUE;
    EXTENT_LIST *list = VolData.pExtentList;
    if (count < 0 || list == nullptr || count > VolData.ExtentListBytes / (LONGLONG)sizeof(EXTENT_LIST)) {
        ERROR_REPORT();
        return FALSE;
    }

    LONGLONG write = 1;
    LONGLONG previousStart = list[0].StartingLcn;
    LONGLONG previousCount = list[0].ClusterCount;
    for (LONGLONG i = 1; i < count; ++i) {
        LONGLONG start = list[i].StartingLcn;
        LONGLONG clusters = list[i].ClusterCount;
        BOOL adjacent = start != SPARSE_LCN && previousStart != SPARSE_LCN && start == previousStart + previousCount;
        if (adjacent) {
            list[write - 1].ClusterCount += clusters;
        } else {
            list[write].StartingLcn = start;
            list[write].ClusterCount = clusters;
            ++write;
        }
        previousStart = start;
        previousCount = clusters;
    }
    VolData.NumberOfExtents = write;

    LONGLONG fragments = 1;
    BOOL seen = FALSE;
    LONGLONG end = 0;
    for (LONGLONG i = 0; i < write; ++i) {
        if (list[i].StartingLcn == SPARSE_LCN) continue;
        if (seen && list[i].StartingLcn != end) ++fragments;
        seen = TRUE;
        end = list[i].StartingLcn + list[i].ClusterCount;
    }
    VolData.NumberOfFragments = fragments;
    VolData.bFragmented = fragments >= 2 ? 1 : 0;

    if (!GetLowestStartingLcn(&VolData.LowestLcn)) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}

// Takes the current file's runs and NumberOfFragments; stores in *result the
// LCN at which the file is considered to start: 0 when it has no run on disk;
// the first run's LCN when it is in one fragment; otherwise the lowest
// StartingLcn outside the MFT zone [MftZoneStart, MftZoneEnd), or the first
// run's LCN when every run lies inside the zone. Returns TRUE; FALSE after
// the error report for a null result or a missing list.
BOOL GetLowestStartingLcn(LONGLONG *result) {
    LONGLONG count = VolData.NumberOfExtents;
    const EXTENT_LIST *list = VolData.pExtentList;
    if (result == nullptr || (count > 0 && list == nullptr)) {
        ERROR_REPORT();
        return FALSE;
    }
    LONGLONG i = 0;
    while (i < count && list[i].StartingLcn == SPARSE_LCN) ++i;
    if (i >= count) {
        *result = 0;
        return TRUE;
    }
    LONGLONG candidate = list[i].StartingLcn;
    if (VolData.NumberOfFragments < 2) {
        *result = candidate;
        return TRUE;
    }
    const LONGLONG zoneStart = VolData.MftZoneStart, zoneEnd = VolData.MftZoneEnd;
    auto inZone = [&](LONGLONG lcn) { return zoneStart <= lcn && lcn < zoneEnd; };
    for (++i; i < count; ++i) {
        LONGLONG lcn = list[i].StartingLcn;
        if (lcn == SPARSE_LCN || inZone(lcn)) continue;
        if (lcn < candidate || inZone(candidate)) candidate = lcn;
    }
    *result = candidate;
    return TRUE;
}
