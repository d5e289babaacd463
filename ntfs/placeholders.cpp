// Stand-ins for the stages of the NTFS run that are not part of this program
// yet: MFT fragment minimisation and the paging-file placement and
// minimisation. Each shows its banner where the stage has one and a line
// saying that it is skipped, reads and writes nothing on the volume, and
// leaves the run options as a stage that has no more work to do would leave
// them, so that the driver's sequence goes on as it would after the real
// stage.
#include "bootntfs.h"

// Stands in for the MFT stage (MFT=MIN). Takes the stage number, the locked
// MFT bitmap, the MFT's first LCN and cluster count, and &lMFTOpt. Shows
// the banner and the skip line and sets *mftOpt to 0, as the stage does
// once the MFT needs no more work: the driver then drops the directory and
// file stages only MFT=MIN asked for and does not enter the stage again.
// Returns TRUE.
BOOL PartialDefragMFT(LONG stage, BYTE *mftBitmap, LONGLONG mftFirstLcn, LONGLONG mftClusters, LONG *mftOpt) {
    swprintf(cOutline, u"*** STAGE %ld *** Minimizing MFT Fragmentation\n", stage);
    ShowMessage(cOutline);
    ShowMessage(u"MFT fragment minimization not available in this build; stage skipped\n\n");
    *mftOpt = 0;
    return TRUE;
}

// Stands in for the paging-file placement check (PAGE=PLACE). Takes the
// stage number, the paging file's record number, &llPageFileZone, the MFT
// bitmap and &lPageOpt. Shows the banner and the skip line and sets
// *pageOpt to 0, as the stage does when placement cannot be carried out.
// Returns TRUE.
BOOL PlaceVerifyPagingFile(LONG stage, LONGLONG pageFileFrn, LONGLONG *pageFileZone, BYTE *mftBitmap, LONG *pageOpt) {
    swprintf(cOutline, u"*** STAGE %ld *** Verifying Paging File Placement\n", stage);
    ShowMessage(cOutline);
    ShowMessage(u"Paging file placement not available in this build; stage skipped\n\n");
    *pageOpt = 0;
    return TRUE;
}

// Stands in for the paging-file minimisation stage (PAGE=MIN): the next
// stage number, the banner and the skip line. Returns TRUE.
BOOL MinimizePagingFileStage(void) {
    ShowStageBanner(u"*** STAGE %ld *** Minimizing Paging File Fragmentation\n");
    ShowMessage(u"Paging file fragment minimization not available in this build; stage skipped\n\n");
    return TRUE;
}
