// Stand-in for the uninstaller of an earlier installation, named by its
// "UninstallString":
//   olduninst.exe SNAPSHOT-FOLDER
// First copies what the installer saved in TEMP (tesserin.ctl and the three
// hive files, those present) to SNAPSHOT-FOLDER, since the installation
// deletes them later; waits a second, so that an installer that does not
// wait for it finds the product still there; then removes the product as an
// uninstaller would: "Build" and the subkeys UserSettings, AutoBootTime and
// Bulwark of the product key. Exit code 0, or 1 when something failed.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: olduninst SNAPSHOT-FOLDER\n");
        return 2;
    }
    int iResult = 0;
    CreateDirectoryW(argv[1], nullptr);
    WCHAR cTemp[MAX_PATH];
    DWORD cchTemp = GetEnvironmentVariableW(L"TEMP", cTemp, MAX_PATH);
    const wchar_t *pSaved[] = {L"tesserin.ctl", L"usersettings.reg", L"autosettings.reg", L"bulwarksettings.reg"};
    for (const wchar_t *pFile : pSaved) {
        WCHAR cFrom[2 * MAX_PATH], cTo[2 * MAX_PATH];
        swprintf(cFrom, 2 * MAX_PATH, L"%ls\\%ls", cchTemp > 0 ? cTemp : L".", pFile);
        swprintf(cTo, 2 * MAX_PATH, L"%ls\\%ls", argv[1], pFile);
        if (GetFileAttributesW(cFrom) != INVALID_FILE_ATTRIBUTES && !CopyFileW(cFrom, cTo, FALSE)) {
            iResult = 1;
        }
    }
    Sleep(1000);
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvorn Systems\\TesserinNT4", 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return 1;
    }
    const wchar_t *pSubkeys[] = {L"UserSettings", L"AutoBootTime", L"Bulwark"};
    for (const wchar_t *pSubkey : pSubkeys) {
        RegDeleteTreeW(hKey, pSubkey);
    }
    if (RegDeleteValueW(hKey, L"Build") != ERROR_SUCCESS) {
        iResult = 1;
    }
    RegCloseKey(hKey);
    return iResult;
}
