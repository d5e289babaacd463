// Screen, log and progress output of the boot-time programs.
//
// At boot time text reaches the user only through the boot screen and,
// optionally, the summary/log file on another volume. Each routine has a
// fixed rule for where its text goes:
//   HVprintf, ShowProgress   screen
//   ShowDiag                 screen and log
//   ShowMessage              screen; log from level 2 on
//   MessageFunction          log; screen too when bScreenLog (LEV= given)
// The log is UTF-16LE with a byte-order mark and CR LF line ends. A null log
// handle silently disables logging, and write failures on the log are
// ignored.
#include "program.h"

#include <cstring>

WCHAR cProgress[32] = {0};
const WCHAR cPro[] = u"\r[%2d%%] ";
const WCHAR cPad[] = u"                                                                                      ";
static_assert(sizeof(cPad) / sizeof(WCHAR) == 87, "cPad holds 86 blanks");
WCHAR cOutline[OUTLINE_CHARS];
LONGLONG llProgressMaximum = 0;
LONGLONG llProgressFivePercent = 1;
LONGLONG llProgressCurrent = 0;
LONGLONG llProgressPercentage = 0;

// Characters given to NtDisplayString at once (a counted string holds fewer
// than 32,768).
#define DISPLAY_CHUNK_CHARS 16384
// Longest line MessageFunction writes, terminator included.
#define MESSAGE_CHARS 33100
// Shown in an error report when no command line was saved.
static const WCHAR cNoCommandLine[] = u"(no command line saved)";

// ------------------------------------------------------------------ screen

// Shows a text on the boot screen as it is. Returns TRUE.
BOOL HVprintf(const WCHAR *text) {
    UNICODE_STRING display;
    size_t left;

    if (text == nullptr) return TRUE;
    left = wcslen(text);
    while (left > 0) {
        size_t n = left > DISPLAY_CHUNK_CHARS ? DISPLAY_CHUNK_CHARS : left;
        // Never split a surrogate pair between two calls.
        if (n < left && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) n--;
        display.Buffer = const_cast<WCHAR *>(text);
        display.Length = (USHORT)(n * sizeof(WCHAR));
        display.MaximumLength = display.Length;
        NtDisplayString(&display);
        text += n;
        left -= n;
    }
    return TRUE;
}

// A status line: the screen only.
BOOL ShowProgress(const WCHAR *text) { return HVprintf(text); }

// Screen, and the log when one was requested.
BOOL ShowDiag(const WCHAR *text) {
    HVprintf(text);
    if (bLogFile) WriteToLogFile(hLogFile, text);
    return TRUE;
}

// Screen, and the log from level 2 on.
BOOL ShowMessage(const WCHAR *text) {
    HVprintf(text);
    if (bLogFile && lLogLevel >= 2) WriteToLogFile(hLogFile, text);
    return TRUE;
}

// Builds "text\n" (number -1 and no second text) or "text number second\n"
// (at most 33,099 characters, cut beyond) and writes it to the log when one
// was requested and to the screen when bScreenLog is set.
BOOL MessageFunction(const WCHAR *text, LONG number, const WCHAR *second) {
    static WCHAR line[MESSAGE_CHARS];

    if (text == nullptr) text = u"";
    if (second == nullptr && number == -1)
        _snwprintf(line, MESSAGE_CHARS - 1, u"%s\n", text);
    else
        _snwprintf(line, MESSAGE_CHARS - 1, u"%s %ld %s\n", text, number, second ? second : u"");
    line[MESSAGE_CHARS - 1] = 0;
    if (bLogFile) WriteToLogFile(hLogFile, line);
    if (bScreenLog) HVprintf(line);
    return TRUE;
}

// A diagnostic line that only the most verbose levels (above 5) want.
BOOL Message(const WCHAR *text, LONG number, const WCHAR *second) {
    if (lLogLevel > 5) return MessageFunction(text, number, second);
    return TRUE;
}

// Takes an error report whose only placeholder left is "%ld" (the error
// number), puts 0 there, adds a line feed and gives the line to
// MessageFunction. Other percent signs (from a path or the command line) are
// copied as they are.
BOOL ErrorHandling(const WCHAR *report) {
    static WCHAR line[MESSAGE_CHARS];
    size_t out = 0;
    BOOL filled = FALSE;

    if (report == nullptr) report = u"";
    while (*report && out < MESSAGE_CHARS - 2) {
        if (!filled && report[0] == u'%' && report[1] == u'l' && report[2] == u'd') {
            line[out++] = u'0';
            report += 3;
            filled = TRUE;
            continue;
        }
        line[out++] = *report++;
    }
    line[out++] = u'\n';
    line[out] = 0;
    return MessageFunction(line, -1, nullptr);
}

// The standard error report of a failure site (see ERROR_REPORT in frame.h):
// source line, source path, saved command line and module timestamp. It
// reads pCommandLine itself, never through GetCommandLine, so that a report
// given before the command line was saved does not report again.
void ReportErrorSite(LONG line, const WCHAR *sourcePath, const WCHAR *timestamp) {
    static WCHAR report[MESSAGE_CHARS];

    _snwprintf(report, MESSAGE_CHARS - 2, u"Error #%%ld at line %ld in %s of %s as of %s", line,
               sourcePath ? sourcePath : u"", pCommandLine ? pCommandLine : cNoCommandLine,
               timestamp ? timestamp : u"");
    report[MESSAGE_CHARS - 2] = 0;
    ErrorHandling(report);
}

// A trace line "routine:line->step", given when lLogLevel is at least level.
void TraceSite(LONG level, const WCHAR *routine, LONG line, const WCHAR *step) {
    WCHAR text[256];

    if (lLogLevel < level) return;
    _snwprintf(text, 255, u"%s:%ld->%s", routine, line, step);
    text[255] = 0;
    MessageFunction(text, -1, nullptr);
}

// Shows text and caption through Message. Returns TRUE (the "OK" answer).
BOOL RemoteMessageBox(const WCHAR *text, const WCHAR *caption) {
    Message(text, -1, caption);
    return TRUE;
}

// There is no string table at boot time: the same text for every request.
const WCHAR *GetString(const WCHAR *text, LONG a, LONG b, HANDLE h) {
    return u"Temporary string to hold error message text....";
}

// --------------------------------------------------------------------- log

// Creates (or replaces) the log file at a Win32 path and writes the
// byte-order mark. Returns the handle, which CloseLogFile closes, or null.
HANDLE InitializeLogFile(const WCHAR *path) {
    static const BYTE mark[2] = {0xFF, 0xFE};
    HANDLE file;
    DWORD done = 0;

    file = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (!WriteFile(file, mark, sizeof mark, &done, nullptr) || done != sizeof mark) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

// Appends count characters to the log (failures are ignored).
static void LogWrite(HANDLE file, const WCHAR *text, size_t count) {
    DWORD done;

    while (count > 0) {
        DWORD n = count > 0x10000 ? 0x10000 : (DWORD)count;
        WriteFile(file, text, n * sizeof(WCHAR), &done, nullptr);
        text += n;
        count -= n;
    }
}

// Appends a text to the log with CR LF line ends: every line feed becomes
// CR LF, and a last line without one gets CR LF too. Other characters, a
// carriage return included, go as they are. bootfat flushes the log after
// each call. FALSE for a null handle, else TRUE.
BOOL WriteToLogFile(HANDLE file, const WCHAR *text) {
    static const WCHAR lineEnd[2] = {u'\r', u'\n'};
    const WCHAR *start;
    const WCHAR *p;

    if (file == nullptr) return FALSE;
    if (text == nullptr) text = u"";
    start = text;
    for (p = text; *p; p++) {
        if (*p == u'\n') {
            LogWrite(file, start, (size_t)(p - start));
            LogWrite(file, lineEnd, 2);
            start = p + 1;
        }
    }
    if (p > start) {
        LogWrite(file, start, (size_t)(p - start));
        LogWrite(file, lineEnd, 2);
    }
    if (BootProgram.FlushLogWrites) FlushFileBuffers(file);
    return TRUE;
}

// Closes the log; FALSE for a null handle.
BOOL CloseLogFile(HANDLE file) {
    if (file == nullptr) return FALSE;
    return CloseHandle(file);
}

// ------------------------------------------------------------ diagnostics

// Shows count bytes at address in lines of 16 (offset, hex in groups of
// four, then the bytes as characters) under a title, through ShowDiag.
BOOL MemDump(const void *address, LONG count, const WCHAR *title) {
    const BYTE *bytes = (const BYTE *)address;
    WCHAR where[32];
    WCHAR line[128];
    LONG offset = 0;

    swprintf(where, u"(@0x%08lx)", (ULONG)(ULONG_PTR)address);
    _snwprintf(cOutline, OUTLINE_CHARS - 1, u"\n%s %s\n\n", title ? title : u"", where);
    cOutline[OUTLINE_CHARS - 1] = 0;
    ShowDiag(cOutline);

    do {
        LONG inLine = count - offset;
        size_t n;
        LONG i;

        if (inLine > 16) inLine = 16;
        if (inLine < 0) inLine = 0;
        n = (size_t)swprintf(line, u"%06lx: ", offset);
        for (i = 0; i < inLine; i++) {
            n += (size_t)swprintf(line + n, u"%02lx", (ULONG)bytes[offset + i]);
            if (i % 4 == 3) line[n++] = u' ';
        }
        while (n < 44) line[n++] = u' ';
        for (i = 0; i < inLine; i++) {
            BYTE c = bytes[offset + i];
            if (c < 32 || c > 127) {
                line[n++] = u'.';
            } else if (c == '%') {
                line[n++] = u'%';
                line[n++] = u'%';
            } else {
                line[n++] = (WCHAR)c;
            }
        }
        line[n++] = u'\n';
        line[n] = 0;
        ShowDiag(line);
        offset += 16;
    } while (offset < count);

    ShowDiag(u"\n");
    return TRUE;
}

// ---------------------------------------------------------------- progress

// Arms the indicator for a stage: the maximum is the larger of the item
// count and minimum (callers pass 100), and the screen is touched once per
// twentieth of it. Returns TRUE.
BOOL InitializeProgress(LONGLONG count, LONGLONG minimum) {
    llProgressMaximum = count > minimum ? count : minimum;
    llProgressFivePercent = llProgressMaximum / 20;
    if (llProgressFivePercent >= 20) llProgressFivePercent++;
    if (llProgressFivePercent <= 0) llProgressFivePercent = 1;
    llProgressPercentage = 0;
    llProgressCurrent = 0;
    cProgress[0] = 0;
    return TRUE;
}

// Percentage of the items done, kept between 1 and 99: the indicator never
// claims that nothing or everything is done.
static LONGLONG ProgressPercentage(void) {
    LONGLONG percentage = llProgressMaximum > 0 ? llProgressCurrent * 100 / llProgressMaximum : 0;
    if (percentage == 0) percentage = 1;
    if (percentage > 99) percentage = 99;
    if (percentage < 0) percentage = 0;
    return percentage;
}

// Counts one item; at every step shows "\r[nn%] " on the screen.
BOOL UpdateProgress(void) {
    WCHAR text[32];

    llProgressCurrent++;
    if (llProgressFivePercent <= 0 || llProgressCurrent % llProgressFivePercent != 0) return TRUE;
    llProgressPercentage = ProgressPercentage();
    swprintf(text, cPro, (int)llProgressPercentage);
    ShowProgress(text);
    return TRUE;
}

// Puts the current percentage into cProgress (nothing is shown); the stages
// start their status lines with it.
BOOL ForceProgress(void) {
    llProgressPercentage = ProgressPercentage();
    _snwprintf(cProgress, 31, cPro, (int)llProgressPercentage);
    cProgress[31] = 0;
    return TRUE;
}
