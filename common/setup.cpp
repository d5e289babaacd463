// Volume setup and teardown: the program's BootExecute entry and the
// operating-system gate.
#include "program.h"

#include <cstring>

static const WCHAR cSessionManagerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Removes every string that begins with token (compared case-insensitively,
// over the token's length) from the Session Manager's BootExecute value and
// writes the rest back, in order and with the type the value had. Each
// program's deregistration (DeregisterDozuZORO, DeregisterZiriZUD) calls it
// with its token.
// Returns TRUE; FALSE with the error report when the key cannot be opened,
// the value is missing or empty, memory runs out, or the value cannot be
// written or the key closed; the value is then left as it was.
BOOL DeregisterBootExecuteToken(const WCHAR *token) {
    HKEY key = nullptr;
    HGLOBAL hRead = nullptr, hWrite = nullptr;
    WCHAR *readBuffer = nullptr, *writeBuffer = nullptr;
    DWORD type = 0;
    DWORD size = 0;
    DWORD dataBytes;
    size_t tokenLength = wcslen(token);
    size_t chars, in, out;
    BOOL ok = FALSE;

    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, cSessionManagerKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        ERROR_REPORT();
        return FALSE;
    }
    // The size reported is the data's plus the 12-byte record header: a
    // value without data is an error, as a missing one is.
    if (RegQueryValueEx(key, u"BootExecute", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size <= offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        ERROR_REPORT();
        goto done;
    }
    if (!AllocateMemory(size, &hRead, (void **)&readBuffer) ||
        !AllocateMemory(size * 2, &hWrite, (void **)&writeBuffer)) {
        ERROR_REPORT();
        goto done;
    }
    dataBytes = size;
    if (RegQueryValueEx(key, u"BootExecute", nullptr, &type, (LPBYTE)readBuffer, &dataBytes) != ERROR_SUCCESS) {
        ERROR_REPORT();
        goto done;
    }
    dataBytes -= offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

    // Walk the strings within the data; the zero-filled block ends a last
    // string that the value left unterminated.
    chars = dataBytes / sizeof(WCHAR);
    in = 0;
    out = 0;
    while (in < chars && readBuffer[in] != 0) {
        size_t length = wcsnlen(readBuffer + in, chars - in);
        BOOL ours = FALSE;

        if (length >= tokenLength) {
            size_t k;
            ours = TRUE;
            for (k = 0; k < tokenLength; k++) {
                if ((WCHAR)(ULONG_PTR)CharUpper((LPWSTR)(ULONG_PTR)readBuffer[in + k]) !=
                    (WCHAR)(ULONG_PTR)CharUpper((LPWSTR)(ULONG_PTR)token[k])) {
                    ours = FALSE;
                    break;
                }
            }
        }
        if (!ours) {
            memcpy(writeBuffer + out, readBuffer + in, length * sizeof(WCHAR));
            out += length;
            writeBuffer[out++] = 0;
        }
        in += length + 1;
    }
    writeBuffer[out++] = 0;

    if (RegSetValueEx(key, u"BootExecute", 0, type, (const BYTE *)writeBuffer, (DWORD)(out * sizeof(WCHAR))) !=
        ERROR_SUCCESS) {
        ERROR_REPORT();
        goto done;
    }
    ok = TRUE;

done:
    if (key != nullptr && RegCloseKey(key) != ERROR_SUCCESS) {
        ERROR_REPORT();
        ok = FALSE;
    }
    if (hRead != nullptr) {
        GlobalUnlock(hRead);
        GlobalFree(hRead);
    }
    if (hWrite != nullptr) {
        GlobalUnlock(hWrite);
        GlobalFree(hWrite);
    }
    return ok;
}

// May the program run on this system? bootntfs needs the mounted-device
// table of Windows 2000 (NTFS version 3); bootfat runs on both systems.
// Either form answers FALSE when it cannot close the key it opened.
BOOL OkOnThisOS(void) {
    HKEY key = nullptr;

    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\MountedDevices", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return BootProgram.NeedsMountedDevices ? FALSE : TRUE;
    }
    TRACE(7, u"OkOnThisOS", u"FoundMountedDevicesKey");
    if (RegCloseKey(key) != ERROR_SUCCESS) {
        ERROR_REPORT();
        return FALSE;
    }
    return TRUE;
}
