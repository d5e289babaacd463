// Support routines of setupaid.dll: the module entry, heap blocks, text,
// the environment, installer properties and questions, programs, privileges
// and registry reads.
#include "setupaid.h"

HINSTANCE hSetupAid = nullptr;

// The compiler calls these for structure copies and clears; with no C
// runtime the library brings its own. The target is compiled with
// -fno-tree-loop-distribute-patterns, so that these loops are not turned
// back into calls of themselves.
extern "C" void *memset(void *pDest, int iValue, size_t cbSize) {
    unsigned char *p = static_cast<unsigned char *>(pDest);
    while (cbSize--) {
        *p++ = static_cast<unsigned char>(iValue);
    }
    return pDest;
}

extern "C" void *memcpy(void *pDest, const void *pSource, size_t cbSize) {
    unsigned char *d = static_cast<unsigned char *>(pDest);
    const unsigned char *s = static_cast<const unsigned char *>(pSource);
    while (cbSize--) {
        *d++ = *s++;
    }
    return pDest;
}

extern "C" void *memmove(void *pDest, const void *pSource, size_t cbSize) {
    unsigned char *d = static_cast<unsigned char *>(pDest);
    const unsigned char *s = static_cast<const unsigned char *>(pSource);
    if (d < s) {
        return memcpy(pDest, pSource, cbSize);
    }
    while (cbSize--) {
        d[cbSize] = s[cbSize];
    }
    return pDest;
}

// The entry point (the linker's --entry): only remembers the module.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        hSetupAid = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

// ------------------------------------------------------------------ heap

void *SetupAlloc(SIZE_T cbSize) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbSize); }

void SetupFree(void *pBlock) {
    if (pBlock != nullptr) {
        HeapFree(GetProcessHeap(), 0, pBlock);
    }
}

// ------------------------------------------------------------------ text

SIZE_T TextLength(LPCWSTR pText) {
    SIZE_T n = 0;
    while (pText[n] != 0) {
        n++;
    }
    return n;
}

void TextCopy(WCHAR *pDest, SIZE_T cchDest, LPCWSTR pSource) {
    SIZE_T i = 0;
    for (; i + 1 < cchDest && pSource[i] != 0; i++) {
        pDest[i] = pSource[i];
    }
    if (cchDest > 0) {
        pDest[i] = 0;
    }
}

BOOL TextEqual(LPCWSTR pA, LPCWSTR pB) {
    while (*pA != 0 && *pA == *pB) {
        pA++;
        pB++;
    }
    return *pA == *pB;
}

BOOL TextEqualNoCase(LPCWSTR pA, LPCWSTR pB) { return lstrcmpiW(pA, pB) == 0; }

WCHAR *TextJoin(LPCWSTR pA, LPCWSTR pB, LPCWSTR pC) {
    SIZE_T cchA = TextLength(pA), cchB = TextLength(pB), cchC = TextLength(pC);
    WCHAR *pText = static_cast<WCHAR *>(SetupAlloc((cchA + cchB + cchC + 1) * sizeof(WCHAR)));
    if (pText != nullptr) {
        memcpy(pText, pA, cchA * sizeof(WCHAR));
        memcpy(pText + cchA, pB, cchB * sizeof(WCHAR));
        memcpy(pText + cchA + cchB, pC, cchC * sizeof(WCHAR));
    }
    return pText;
}

WCHAR *PathJoin(LPCWSTR pFolder, LPCWSTR pFile) {
    SIZE_T cch = TextLength(pFolder);
    BOOL bSeparator = cch > 0 && pFolder[cch - 1] == L'\\';
    return TextJoin(pFolder, bSeparator ? L"" : L"\\", pFile);
}

BOOL LoadText(UINT uId, WCHAR *pBuffer, int cchBuffer) {
    pBuffer[0] = 0;
    return LoadStringW(hSetupAid, uId, pBuffer, cchBuffer) > 0;
}

BOOL ParseNumber(LPCWSTR pText, DWORD *pdwValue) {
    DWORD dwValue = 0;
    int cDigits = 0;
    for (; *pText != 0; pText++, cDigits++) {
        if (*pText < L'0' || *pText > L'9' || cDigits == 9) {
            return FALSE;
        }
        dwValue = dwValue * 10 + (*pText - L'0');
    }
    if (cDigits == 0) {
        return FALSE;
    }
    *pdwValue = dwValue;
    return TRUE;
}

// ------------------------------------------------------------ environment

WCHAR *GetEnvironmentText(LPCWSTR pName) {
    DWORD cch = GetEnvironmentVariableW(pName, nullptr, 0);
    if (cch == 0) {
        return nullptr;
    }
    WCHAR *pValue = static_cast<WCHAR *>(SetupAlloc(cch * sizeof(WCHAR)));
    if (pValue == nullptr) {
        return nullptr;
    }
    DWORD cchRead = GetEnvironmentVariableW(pName, pValue, cch);
    if (cchRead == 0 || cchRead >= cch) {
        SetupFree(pValue);
        return nullptr;
    }
    return pValue;
}

WCHAR *TempFilePath(LPCWSTR pFile) {
    WCHAR *pTemp = GetEnvironmentText(L"TEMP");
    if (pTemp == nullptr) {
        return nullptr;
    }
    WCHAR *pPath = PathJoin(pTemp, pFile);
    SetupFree(pTemp);
    return pPath;
}

BOOL FileExists(LPCWSTR pPath) {
    DWORD dwAttributes = GetFileAttributesW(pPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// ------------------------------------------------------------- installer

// The property query, imported from msi.dll by its ordinal (74).
WCHAR *GetInstallerProperty(MSIHANDLE hInstall, LPCWSTR pName) {
    // First with an empty buffer, for the length (ERROR_MORE_DATA); the
    // length does not count the terminating zero.
    WCHAR cEmpty[1] = {0};
    DWORD cch = 0;
    UINT uResult = MsiGetPropertyW(hInstall, pName, cEmpty, &cch);
    if (uResult != ERROR_MORE_DATA && uResult != ERROR_SUCCESS) {
        return nullptr;
    }
    cch++;
    WCHAR *pValue = static_cast<WCHAR *>(SetupAlloc(cch * sizeof(WCHAR)));
    if (pValue == nullptr) {
        return nullptr;
    }
    if (MsiGetPropertyW(hInstall, pName, pValue, &cch) != ERROR_SUCCESS) {
        SetupFree(pValue);
        return nullptr;
    }
    return pValue;
}

BOOL GetSilentInstall(MSIHANDLE hInstall, BOOL *pbSilent) {
    WCHAR *pLevel = GetInstallerProperty(hInstall, L"UILevel");
    if (pLevel == nullptr) {
        return FALSE;
    }
    *pbSilent = pLevel[0] == L'2';
    SetupFree(pLevel);
    return TRUE;
}

int AskQuestion(MSIHANDLE hInstall, UINT uTextId) {
    BOOL bSilent;
    if (!GetSilentInstall(hInstall, &bSilent) || bSilent) {
        return 0;
    }
    WCHAR cText[512], cCaption[128];
    if (!LoadText(uTextId, cText, ARRAYSIZE(cText)) || !LoadText(IDS_INSTALL_CAPTION, cCaption, ARRAYSIZE(cCaption))) {
        return 0;
    }
    return MessageBoxW(nullptr, cText, cCaption, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND);
}

// -------------------------------------------------------------- programs

BOOL RunProgram(LPCWSTR pCommandLine) {
    // CreateProcessW may write to the command line: a copy of it.
    WCHAR *pLine = TextJoin(pCommandLine, L"");
    if (pLine == nullptr) {
        return FALSE;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL bStarted =
        CreateProcessW(nullptr, pLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi);
    if (bStarted) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetupFree(pLine);
    return bStarted;
}

// ------------------------------------------------------------ privileges

BOOL EnablePrivilege(LPCWSTR pName, TOKEN_PRIVILEGES *pPrevious) {
    HANDLE hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        return FALSE;
    }
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD cbPrevious = sizeof(*pPrevious);
    // AdjustTokenPrivileges succeeds without enabling a privilege the token
    // does not hold; the last error tells.
    BOOL bEnabled = LookupPrivilegeValueW(nullptr, pName, &tp.Privileges[0].Luid);
    if (bEnabled) {
        SetLastError(ERROR_SUCCESS);
        bEnabled = AdjustTokenPrivileges(hToken, FALSE, &tp, sizeof(*pPrevious), pPrevious, &cbPrevious) &&
                   GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(hToken);
    return bEnabled;
}

void RestorePrivilege(const TOKEN_PRIVILEGES *pPrevious) {
    HANDLE hToken;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &hToken)) {
        AdjustTokenPrivileges(hToken, FALSE, const_cast<TOKEN_PRIVILEGES *>(pPrevious), 0, nullptr, nullptr);
        CloseHandle(hToken);
    }
}

// -------------------------------------------------------------- registry

BYTE *RegReadData(HKEY hKey, LPCWSTR pName, DWORD *pdwType, DWORD *pcbData) {
    DWORD dwType, cbData = 0;
    if (RegQueryValueExW(hKey, pName, nullptr, &dwType, nullptr, &cbData) != ERROR_SUCCESS) {
        return nullptr;
    }
    // The value may change between the two calls: once more when it grew.
    for (int iTry = 0; iTry < 2; iTry++) {
        DWORD cbBlock = cbData;
        BYTE *pData = static_cast<BYTE *>(SetupAlloc(cbBlock + 2 * sizeof(WCHAR)));
        if (pData == nullptr) {
            return nullptr;
        }
        LONG lResult = RegQueryValueExW(hKey, pName, nullptr, &dwType, pData, &cbData);
        if (lResult == ERROR_SUCCESS) {
            if (pdwType != nullptr) {
                *pdwType = dwType;
            }
            if (pcbData != nullptr) {
                *pcbData = cbData;
            }
            return pData;
        }
        SetupFree(pData);
        if (lResult != ERROR_MORE_DATA) {
            break;
        }
    }
    return nullptr;
}

WCHAR *RegReadText(HKEY hKey, LPCWSTR pName) {
    DWORD dwType;
    BYTE *pData = RegReadData(hKey, pName, &dwType, nullptr);
    if (pData != nullptr && dwType != REG_SZ && dwType != REG_EXPAND_SZ) {
        SetupFree(pData);
        return nullptr;
    }
    return reinterpret_cast<WCHAR *>(pData);
}

BOOL RegHasValue(HKEY hKey, LPCWSTR pName) {
    return RegQueryValueExW(hKey, pName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}
