// The product's named pipes in the server's list of pipes open to anonymous
// sessions, and the registration of the defragmenter's engine servers.
#include "setupaid.h"

namespace {

const WCHAR cServerKey[] = L"SYSTEM\\CurrentControlSet\\Services\\LanManServer\\Parameters";
const WCHAR cNullSessionPipes[] = L"NullSessionPipes";
const LPCWSTR pPipeNames[] = {L"TesserinGuiPipe", L"TesserinControlPipe", L"TesserinSchedPipe"};

// The defragmenter's libraries (registered with regsvr32) and engine
// programs (its COM local servers), in the system folder.
const WCHAR cUserInterfaceLibrary[] = L"tsrdfui.dll";
const WCHAR cSnapInLibrary[] = L"tsrdfsnp.dll";
const struct {
    LPCWSTR pClsidKey;
    LPCWSTR pClsid;
    LPCWSTR pName;
    LPCWSTR pProgram;
} engines[] = {
    {L"CLSID\\{80EE4901-33A8-11d1-A213-0080C88593A5}", L"{80EE4901-33A8-11d1-A213-0080C88593A5}", L"Defrag NTFS engine",
     L"tsrntfs.exe"},
    {L"CLSID\\{80EE4902-33A8-11d1-A213-0080C88593A5}", L"{80EE4902-33A8-11d1-A213-0080C88593A5}", L"Defrag FAT engine",
     L"tsrfat.exe"},
};

// The list of pipes, opened for change: the key, and its entries with their
// terminators up to (not with) the closing empty string, as a block of
// *pcchEntries characters with room for the three names and the closing
// empty string.
BOOL ReadPipeList(HKEY *phKey, WCHAR **ppEntries, SIZE_T *pcchEntries) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, cServerKey, 0, KEY_ALL_ACCESS, phKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD dwType, cbData;
    // RegReadData adds two zero characters: the walk below ends inside the
    // block even when the stored list lacks its terminators.
    WCHAR *pData = reinterpret_cast<WCHAR *>(RegReadData(*phKey, cNullSessionPipes, &dwType, &cbData));
    if (pData == nullptr || dwType != REG_MULTI_SZ) {
        SetupFree(pData);
        RegCloseKey(*phKey);
        return FALSE;
    }
    const WCHAR *p = pData;
    while (*p != 0) {
        p += TextLength(p) + 1;
    }
    SIZE_T cchEntries = p - pData, cchRoom = 1;
    for (LPCWSTR pName : pPipeNames) {
        cchRoom += TextLength(pName) + 1;
    }
    WCHAR *pEntries = static_cast<WCHAR *>(SetupAlloc((cchEntries + cchRoom) * sizeof(WCHAR)));
    if (pEntries == nullptr) {
        SetupFree(pData);
        RegCloseKey(*phKey);
        return FALSE;
    }
    memcpy(pEntries, pData, cchEntries * sizeof(WCHAR));
    SetupFree(pData);
    *ppEntries = pEntries;
    *pcchEntries = cchEntries;
    return TRUE;
}

// Writes the entries back with the closing empty string; releases the key
// and the block.
BOOL WritePipeList(HKEY hKey, WCHAR *pEntries, SIZE_T cchEntries) {
    pEntries[cchEntries] = 0;
    BOOL bWritten = RegSetValueExW(hKey, cNullSessionPipes, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(pEntries),
                                   static_cast<DWORD>((cchEntries + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
    SetupFree(pEntries);
    RegCloseKey(hKey);
    return bWritten;
}

BOOL SetText(HKEY hKey, LPCWSTR pName, LPCWSTR pText) {
    return RegSetValueExW(hKey, pName, 0, REG_SZ, reinterpret_cast<const BYTE *>(pText),
                          static_cast<DWORD>((TextLength(pText) + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// "regsvr32 /s " and the library in the system folder, run and waited for.
BOOL RegisterLibrary(LPCWSTR pSystemRoot, LPCWSTR pLibrary) {
    WCHAR *pFolder = PathJoin(pSystemRoot, L"system32\\");
    WCHAR *pCommand = pFolder != nullptr ? TextJoin(L"regsvr32 /s ", pFolder, pLibrary) : nullptr;
    BOOL bRun = pCommand != nullptr && RunProgram(pCommand);
    SetupFree(pCommand);
    SetupFree(pFolder);
    return bRun;
}

// The engine's class key under HKEY_CLASSES_ROOT: its name, "AppID", and
// "LocalServer32" naming the program.
BOOL RegisterEngine(LPCWSTR pClsidKey, LPCWSTR pClsid, LPCWSTR pName, LPCWSTR pProgram) {
    HKEY hClass, hServer;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, pClsidKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hClass, nullptr) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL bRegistered = SetText(hClass, nullptr, pName) && SetText(hClass, L"AppID", pClsid) &&
                       RegCreateKeyExW(hClass, L"LocalServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &hServer,
                                       nullptr) == ERROR_SUCCESS;
    if (bRegistered) {
        bRegistered = SetText(hServer, nullptr, pProgram);
        RegCloseKey(hServer);
    }
    RegCloseKey(hClass);
    return bRegistered;
}

// The three names after the entries (room for them was left).
void AppendPipes(WCHAR *pEntries, SIZE_T *pcchEntries) {
    for (LPCWSTR pName : pPipeNames) {
        SIZE_T cchName = TextLength(pName) + 1;
        memcpy(pEntries + *pcchEntries, pName, cchName * sizeof(WCHAR));
        *pcchEntries += cchName;
    }
}

// The first entry equal to each of the three names (the whole entry, in its
// case) taken out, closing the gap.
void RemovePipes(WCHAR *pEntries, SIZE_T *pcchEntries) {
    for (LPCWSTR pName : pPipeNames) {
        for (SIZE_T i = 0; i < *pcchEntries; i += TextLength(pEntries + i) + 1) {
            if (TextEqual(pEntries + i, pName)) {
                SIZE_T cchEntry = TextLength(pEntries + i) + 1;
                memmove(pEntries + i, pEntries + i + cchEntry, (*pcchEntries - i - cchEntry) * sizeof(WCHAR));
                *pcchEntries -= cchEntry;
                break;
            }
        }
    }
}

// Reads the list, changes it with pEdit and writes it back. 1603 when it
// cannot be read, or written when bWriteCounts.
UINT ChangePipeList(void (*pEdit)(WCHAR *pEntries, SIZE_T *pcchEntries), BOOL bWriteCounts) {
    HKEY hKey;
    WCHAR *pEntries;
    SIZE_T cchEntries;
    if (!ReadPipeList(&hKey, &pEntries, &cchEntries)) {
        return ERROR_INSTALL_FAILURE;
    }
    pEdit(pEntries, &cchEntries);
    return WritePipeList(hKey, pEntries, cchEntries) || !bWriteCounts ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

// Appends the product's three pipe names to "NullSessionPipes" (a second
// call appends them again). 1603 when the list cannot be read or written.
extern "C" UINT WINAPI AddNullPipes(MSIHANDLE hInstall) { return ChangePipeList(AppendPipes, TRUE); }

// Removes one copy of each of the product's pipe names. 1603 only when the
// list cannot be read.
extern "C" UINT WINAPI RemoveNullPipes(MSIHANDLE hInstall) { return ChangePipeList(RemovePipes, FALSE); }

// Registers the defragmenter's two libraries (regsvr32) and its NTFS and
// FAT engine servers. 1603 at the first step that fails.
extern "C" UINT WINAPI RegisterVRMS(MSIHANDLE hInstall) {
    WCHAR *pSystemRoot = GetEnvironmentText(L"systemroot");
    BOOL bRegistered = pSystemRoot != nullptr && RegisterLibrary(pSystemRoot, cUserInterfaceLibrary) &&
                       RegisterLibrary(pSystemRoot, cSnapInLibrary);
    SetupFree(pSystemRoot);
    for (const auto &engine : engines) {
        if (!bRegistered) {
            break;
        }
        bRegistered = RegisterEngine(engine.pClsidKey, engine.pClsid, engine.pName, engine.pProgram);
    }
    return bRegistered ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
