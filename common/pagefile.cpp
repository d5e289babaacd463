// Paging files: their names and sizes from the Session Manager's
// PagingFiles value, and their rebuild on the boot after a PAGE=ZERO run.
//
// Each PagingFiles entry is "<path> <initial MB> <maximum MB>".
#include "frame.h"

#include <cstring>

HGLOBAL hPageFileNames = nullptr;
WCHAR *pPageFileNames = nullptr;
WCHAR cPageFile[256] = {0};
BOOL bPageFileFound = 0;
LONGLONG llPageFileMin = -1;
LONGLONG llPageFileMax = -1;
LONGLONG llPageFileClusterCount = 0;
LONGLONG llPageFileExtentCount = 0;

static const WCHAR cMemoryManagementKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

// Reads PagingFiles into a block of AllocateMemory.
//   handle, pointer  the caller's block variables (the caller releases it)
//   chars            receives the number of characters of data
//   tracing          TRUE for the trace lines of GetPageFileBounds
// The block is the value's size plus the 12-byte record header, zero-filled,
// so the walk always finds a terminator. Returns TRUE; FALSE with the error
// report (and no block) on any failure; the key is closed either way.
static BOOL ReadPagingFiles(HGLOBAL *handle, WCHAR **pointer, size_t *chars, BOOL tracing) {
    HKEY key = nullptr;
    DWORD type = 0;
    DWORD size = 0;
    BOOL ok = FALSE;

    *handle = nullptr;
    *pointer = nullptr;
    *chars = 0;
    if (tracing) TRACE(9, u"GetPageFileBounds", u"RegOpenKeyEx");
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, cMemoryManagementKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        ERROR_REPORT();
        return FALSE;
    }
    if (tracing) TRACE(9, u"GetPageFileBounds", u"RegQueryValueEx");
    if (RegQueryValueEx(key, u"PagingFiles", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        ERROR_REPORT();
        goto done;
    }
    if (size < 2) size = 2;
    if (tracing) TRACE(9, u"GetPageFileBounds", u"AllocateMemory");
    if (!AllocateMemory(size, handle, (void **)pointer)) {
        ERROR_REPORT();
        goto done;
    }
    if (tracing) TRACE(9, u"GetPageFileBounds", u"RegQueryValueEx2");
    if (RegQueryValueEx(key, u"PagingFiles", nullptr, &type, (LPBYTE)*pointer, &size) != ERROR_SUCCESS) {
        ERROR_REPORT();
        goto done;
    }
    *chars = (size - offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) / sizeof(WCHAR);
    ok = TRUE;

done:
    if (tracing) TRACE(9, u"GetPageFileBounds", u"RegCloseKey");
    if (RegCloseKey(key) != ERROR_SUCCESS) {
        ERROR_REPORT();
        ok = FALSE;
    }
    if (!ok && *handle != nullptr) {
        GlobalUnlock(*handle);
        GlobalFree(*handle);
        *handle = nullptr;
        *pointer = nullptr;
    }
    return ok;
}

// The names (file-name part only) of the paging files on a drive.
//   driveLetter      the drive; entries of other drives are left out
//   handle, pointer  receive a block of AllocateMemory holding the names as
//                    a multi-string (each name terminated, the list ended by
//                    an empty string); the caller releases it
// Returns TRUE, or FALSE with the error report and no block.
BOOL GetPagefileNames(WCHAR driveLetter, HGLOBAL *handle, WCHAR **pointer) {
    WCHAR *names;
    size_t chars, in, out;
    WCHAR drive = RtlUpcaseUnicodeChar(driveLetter);

    if (!ReadPagingFiles(handle, pointer, &chars, FALSE)) return FALSE;
    // The names are written over the entries they come from: the output
    // never overtakes the input.
    names = *pointer;
    in = 0;
    out = 0;
    while (in < chars && names[in] != 0) {
        size_t length = wcsnlen(names + in, chars - in);
        if (RtlUpcaseUnicodeChar(names[in]) == drive) {
            size_t nameStart = in, k, nameLength;
            for (k = in; k < in + length; k++) {
                if (names[k] == u'\\') nameStart = k + 1;
                if (names[k] == u' ') break;
            }
            nameLength = k - nameStart;
            if (nameLength == 0) {  // an empty name would end the list
                in += length + 1;
                continue;
            }
            memmove(names + out, names + nameStart, nameLength * sizeof(WCHAR));
            out += nameLength;
            names[out++] = 0;
        }
        in += length + 1;
    }
    names[out] = 0;
    return TRUE;
}

// Reads a decimal number of digits at *text and moves past it.
static LONGLONG ReadSize(const WCHAR **text) {
    LONGLONG value = 0;

    while (isdecimaldigit(**text)) {
        if (value < 0x7FFFFFFFFFFFLL) value = value * 10 + (**text - u'0');
        (*text)++;
    }
    return value;
}

// The configured sizes of one paging file.
//   path     the paging file's full path, as its PagingFiles entry begins
//   minimum  receives the initial size in megabytes, -1 when no entry gives one
//   maximum  receives the larger of the initial and maximum sizes, or -1
// An entry matches when it begins with the path (any letter case) followed
// by a blank; an entry without sizes leaves both at -1. Returns TRUE, FALSE
// with the error report when the registry cannot be read.
BOOL GetPageFileBounds(const WCHAR *path, LONGLONG *minimum, LONGLONG *maximum) {
    HGLOBAL hList = nullptr;
    WCHAR *list = nullptr;
    size_t chars, in, pathLength = wcslen(path);

    *minimum = -1;
    *maximum = -1;
    if (!ReadPagingFiles(&hList, &list, &chars, TRUE)) return FALSE;

    in = 0;
    while (in < chars && list[in] != 0) {
        size_t length = wcsnlen(list + in, chars - in);
        WCHAR kept;
        BOOL same;

        TRACE(9, u"GetPageFileBounds", u"ParseLoopA");
        if (length >= pathLength) {
            kept = list[in + pathLength];
            list[in + pathLength] = 0;
            same = _wcsicmp(list + in, path) == 0 && (kept == u' ' || kept == 0);
            list[in + pathLength] = kept;
            if (same) {
                const WCHAR *p = list + in + pathLength;
                LONGLONG initial, largest;

                if (*p != 0) {
                    p++;
                    while (*p == u' ') p++;
                    if (isdecimaldigit(*p)) {
                        initial = ReadSize(&p);
                        while (*p != 0 && *p != u' ') p++;
                        while (*p == u' ') p++;
                        largest = ReadSize(&p);
                        *minimum = initial;
                        *maximum = largest > initial ? largest : initial;
                    }
                }
                break;
            }
        }
        in += length + 1;
    }
    GlobalUnlock(hList);
    GlobalFree(hList);
    return TRUE;
}

// Recreates every paging file of a drive as an empty file, so that Windows
// builds it afresh.
//   drive  the drive text ("C:"); its first character names the drive
// Returns 1 when every file could be created, else 0 (the others are still
// created).
BOOL RebuildPageFiles(const WCHAR *drive) {
    HGLOBAL hNames = nullptr;
    WCHAR *names = nullptr;
    WCHAR path[300];
    const WCHAR *name;
    BOOL result = 1;

    if (!GetPagefileNames(drive[0], &hNames, &names)) {
        ERROR_REPORT();
        return 0;
    }
    for (name = names; *name != 0; name += wcslen(name) + 1) {
        HANDLE file;

        if (_snwprintf(path, 299, u"%c:\\%s", (int)drive[0], name) < 0) {
            result = 0;
            continue;
        }
        path[299] = 0;
        file =
            CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        // A paging file left in place is hidden and system, and NTFS replaces
        // such a file only for a caller that asks for those attributes again.
        if (file == INVALID_HANDLE_VALUE)
            file = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            result = 0;
            continue;
        }
        CloseHandle(file);
    }
    GlobalUnlock(hNames);
    GlobalFree(hNames);
    return result;
}
