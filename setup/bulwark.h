// The Bulwark settings object: the settings of paging-file and MFT guarding
// and of the automatic boot-time schedule, as bulwark.cpp loads them from the
// registry and stores them, and as the settings dialog (dialog.cpp) shows
// and changes them.
#pragma once

#include "setupaid.h"

#define BULWARK_TEXT_CHARS 100
#define BULWARK_DRIVES 26

struct BULWARK_SETTINGS {
    DWORD dwEnableFgPage;                          // EnableFgPage: guard the paging file
    DWORD dwEnableFgMft;                           // EnableFgMft: 0 none, 1 all volumes, 2 per volume
    BOOL bDriveKnown[BULWARK_DRIVES];              // a subkey of MftDrives for drive 'A' + i
    DWORD dwDriveMftEnabled[BULWARK_DRIVES];       // its FgMftEnabled
    DWORD dwEnableAutoBootTime;                    // EnableAutoBootTime
    DWORD dwEnableNotification;                    // EnableNotification
    DWORD dwEnableConfirmation;                    // EnableConfirmation
    DWORD dwMftMinFragCount;                       // MftMinFragCount
    DWORD dwPfMinFragCount;                        // PfMinFragCount
    WCHAR cAutoStartTime[BULWARK_TEXT_CHARS + 1];  // AutoStartTime, as the start list shows it
    WCHAR cAutoEndTime[BULWARK_TEXT_CHARS + 1];    // AutoEndTime
    WCHAR cAutoDaysOk[BULWARK_TEXT_CHARS + 1];     // AutoDaysOk
    DWORD dwMftRequested;                          // AutoBootTimeMftRequested, carried through
    DWORD dwPageRequested;                         // AutoBootTimePageRequested, carried through
};

// Shows the settings dialog (resource IDD_BULWARK) over *pSettings. TRUE
// when it was accepted: *pSettings then holds the choices; unchanged
// otherwise (cancelled, or the dialog could not be shown).
BOOL ShowBulwarkDialog(BULWARK_SETTINGS *pSettings);
