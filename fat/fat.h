// The FAT boot-time defragmenter (bootfat).
#pragma once

#include "frame.h"

// ------------------------------- the FAT program's side of the frame
// (fatprogram.cpp; the record BootProgram, program.h, names them)
BOOL DeregisterZiriZUD(void);
void DisplayFatVolumeStats(void);
