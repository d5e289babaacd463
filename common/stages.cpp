// What both programs' stage drivers share: the stage number and its banner,
// the closing line of a stage, and the withdrawal of the directory and file
// stages that only a finished option asked for.
#include "frame.h"

LONG lStageNumber = -1;

// Width of a stage's closing line before its line ends.
#define CLOSING_LINE_CHARS 78
// Room for a closing line: the longest text, cPad, the ending.
#define CLOSING_BUFFER_CHARS 200

// Takes a pending bit (2 = MFT=MIN, 4 = paging-file options). Clears it in
// both pending sets; a set left empty switches its stages off (lDirsOpt,
// lFileOpt = 0), so that stages only implied by a finished option fall away
// while those the user asked for (bit 1) stay.
void PendingUpdate(LONG bit) {
    lDirsPending &= ~bit;
    if (lDirsPending == 0) lDirsOpt = 0;
    lFilesPending &= ~bit;
    if (lFilesPending == 0) lFileOpt = 0;
}

// Takes a format with one %ld, the count and the line ending. Shows the
// formatted text padded with cPad and cut to 78 characters, then the ending
// (ShowMessage).
void ShowClosingLine(const WCHAR *format, LONGLONG count, const WCHAR *ending) {
    WCHAR line[CLOSING_BUFFER_CHARS];
    size_t length;

    _snwprintf(line, CLOSING_LINE_CHARS, format, (LONG)count);
    line[CLOSING_LINE_CHARS] = 0;
    length = wcslen(line);
    wcsncat(line, cPad, CLOSING_LINE_CHARS - length);
    line[CLOSING_LINE_CHARS] = 0;
    wcsncat(line, ending, CLOSING_BUFFER_CHARS - CLOSING_LINE_CHARS - 1);
    ShowMessage(line);
}

// Raises the stage number and shows the banner (a format with one %ld).
void ShowStageBanner(const WCHAR *format) {
    lStageNumber++;
    swprintf(cOutline, format, lStageNumber);
    ShowMessage(cOutline);
}
