// Bulwark settings: BulwarkDlg loads them from the registry, takes them from
// the user (the settings dialog) or, in a silent installation, from
// "Bulwark.ess" beside the package, and stores them; CreateBulwarkRegistry
// removes the per-drive settings of drives that cannot carry them.
#include "bulwark.h"

// The silent installation's settings file and its one section.
static const WCHAR cSettingsFile[] = L"Bulwark.ess";
static const WCHAR cSettingsSection[] = L"Bulwark_Settings-0";

// What an installation starts from when the registry holds nothing: the
// settings file's defaults.
static void InitSettings(BULWARK_SETTINGS *pSettings) {
    *pSettings = {};
    pSettings->dwEnableFgPage = 1;
    pSettings->dwEnableFgMft = 1;
    pSettings->dwEnableNotification = 1;
    pSettings->dwMftMinFragCount = 3;
    pSettings->dwPfMinFragCount = 10;
    TextCopy(pSettings->cAutoDaysOk, BULWARK_TEXT_CHARS + 1, L"everyday");
    TextCopy(pSettings->cAutoStartTime, BULWARK_TEXT_CHARS + 1, L" 1:00 am");
    TextCopy(pSettings->cAutoEndTime, BULWARK_TEXT_CHARS + 1, L" 3:00 am");
}

// ------------------------------------------------------------ registry

static BOOL ReadDword(HKEY hKey, LPCWSTR pName, DWORD *pdwValue) {
    DWORD dwType, dwValue, cbValue = sizeof(dwValue);
    if (RegQueryValueExW(hKey, pName, nullptr, &dwType, reinterpret_cast<BYTE *>(&dwValue), &cbValue) !=
            ERROR_SUCCESS ||
        dwType != REG_DWORD || cbValue != sizeof(dwValue)) {
        return FALSE;
    }
    *pdwValue = dwValue;
    return TRUE;
}

// A text of at most BULWARK_TEXT_CHARS characters; a longer one counts as
// missing.
static BOOL ReadText(HKEY hKey, LPCWSTR pName, WCHAR *pText) {
    WCHAR cValue[BULWARK_TEXT_CHARS + 2] = {};
    DWORD dwType, cbValue = (BULWARK_TEXT_CHARS + 1) * sizeof(WCHAR);
    if (RegQueryValueExW(hKey, pName, nullptr, &dwType, reinterpret_cast<BYTE *>(cValue), &cbValue) != ERROR_SUCCESS ||
        dwType != REG_SZ) {
        return FALSE;
    }
    TextCopy(pText, BULWARK_TEXT_CHARS + 1, cValue);
    return TRUE;
}

static BOOL WriteDword(HKEY hKey, LPCWSTR pName, DWORD dwValue) {
    return RegSetValueExW(hKey, pName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue), sizeof(dwValue)) ==
           ERROR_SUCCESS;
}

static BOOL WriteText(HKEY hKey, LPCWSTR pName, LPCWSTR pText) {
    DWORD cbText = static_cast<DWORD>((TextLength(pText) + 1) * sizeof(WCHAR));
    return RegSetValueExW(hKey, pName, 0, REG_SZ, reinterpret_cast<const BYTE *>(pText), cbText) == ERROR_SUCCESS;
}

// Drive index of a subkey name like "C:"; -1 for any other name.
static int DriveOfKeyName(LPCWSTR pName) {
    if (TextLength(pName) != 2 || pName[1] != L':') {
        return -1;
    }
    WCHAR c = pName[0];
    if (c >= L'a' && c <= L'z') {
        c = c - L'a' + L'A';
    }
    return c >= L'A' && c <= L'Z' ? c - L'A' : -1;
}

// The drives of "MftDrives" (every subkey with a two-character name) and
// their FgMftEnabled.
static void LoadMftDrives(HKEY hBulwark, BULWARK_SETTINGS *pSettings) {
    HKEY hDrives;
    if (RegOpenKeyExW(hBulwark, L"MftDrives", 0, KEY_READ, &hDrives) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD dwIndex = 0;; dwIndex++) {
        WCHAR cName[MAX_PATH];
        DWORD cchName = ARRAYSIZE(cName);
        LONG lResult = RegEnumKeyExW(hDrives, dwIndex, cName, &cchName, nullptr, nullptr, nullptr, nullptr);
        if (lResult == ERROR_MORE_DATA) {
            continue;
        }
        if (lResult != ERROR_SUCCESS) {
            break;
        }
        int iDrive = DriveOfKeyName(cName);
        if (iDrive < 0) {
            continue;
        }
        pSettings->bDriveKnown[iDrive] = TRUE;
        HKEY hDrive;
        if (RegOpenKeyExW(hDrives, cName, 0, KEY_READ, &hDrive) == ERROR_SUCCESS) {
            ReadDword(hDrive, L"FgMftEnabled", &pSettings->dwDriveMftEnabled[iDrive]);
            RegCloseKey(hDrive);
        }
    }
    RegCloseKey(hDrives);
}

// The settings the registry holds, over *pSettings. Each key's values are
// read in their order until the first one that is missing.
static void LoadSettings(BULWARK_SETTINGS *pSettings) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, BULWARK_KEY, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        (void)(ReadDword(hKey, L"EnableFgMft", &pSettings->dwEnableFgMft) &&
               ReadDword(hKey, L"EnableFgPage", &pSettings->dwEnableFgPage));
        LoadMftDrives(hKey, pSettings);
        RegCloseKey(hKey);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AUTOBOOT_KEY, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        (void)(ReadDword(hKey, L"EnableAutoBootTime", &pSettings->dwEnableAutoBootTime) &&
               ReadText(hKey, L"AutoStartTime", pSettings->cAutoStartTime) &&
               ReadText(hKey, L"AutoEndTime", pSettings->cAutoEndTime) &&
               ReadText(hKey, L"AutoDaysOk", pSettings->cAutoDaysOk) &&
               ReadDword(hKey, L"EnableNotification", &pSettings->dwEnableNotification) &&
               ReadDword(hKey, L"EnableConfirmation", &pSettings->dwEnableConfirmation) &&
               ReadDword(hKey, L"AutoBootTimeMftRequested", &pSettings->dwMftRequested) &&
               ReadDword(hKey, L"AutoBootTimePageRequested", &pSettings->dwPageRequested) &&
               ReadDword(hKey, L"MftMinFragCount", &pSettings->dwMftMinFragCount) &&
               ReadDword(hKey, L"PfMinFragCount", &pSettings->dwPfMinFragCount));
        RegCloseKey(hKey);
    }
}

static BOOL StoreMftDrives(HKEY hBulwark, const BULWARK_SETTINGS *pSettings) {
    HKEY hDrives = nullptr;
    BOOL bStored = TRUE;
    for (int iDrive = 0; bStored && iDrive < BULWARK_DRIVES; iDrive++) {
        if (!pSettings->bDriveKnown[iDrive]) {
            continue;
        }
        WCHAR cName[] = {static_cast<WCHAR>(L'A' + iDrive), L':', 0};
        HKEY hDrive;
        bStored = (hDrives != nullptr || RegCreateKeyExW(hBulwark, L"MftDrives", 0, nullptr, 0, KEY_WRITE, nullptr,
                                                         &hDrives, nullptr) == ERROR_SUCCESS) &&
                  RegCreateKeyExW(hDrives, cName, 0, nullptr, 0, KEY_WRITE, nullptr, &hDrive, nullptr) == ERROR_SUCCESS;
        if (bStored) {
            bStored = WriteDword(hDrive, L"FgMftEnabled", pSettings->dwDriveMftEnabled[iDrive]);
            RegCloseKey(hDrive);
        }
    }
    if (hDrives != nullptr) {
        RegCloseKey(hDrives);
    }
    return bStored;
}

// Stores the settings; the first write that fails ends the store.
static void StoreSettings(const BULWARK_SETTINGS *pSettings) {
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, BULWARK_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    BOOL bStored = WriteDword(hKey, L"EnableFgMft", pSettings->dwEnableFgMft) &&
                   WriteDword(hKey, L"EnableFgPage", pSettings->dwEnableFgPage) && StoreMftDrives(hKey, pSettings);
    RegCloseKey(hKey);
    if (!bStored || RegCreateKeyExW(HKEY_LOCAL_MACHINE, AUTOBOOT_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey,
                                    nullptr) != ERROR_SUCCESS) {
        return;
    }
    (void)(WriteDword(hKey, L"EnableAutoBootTime", pSettings->dwEnableAutoBootTime) &&
           WriteText(hKey, L"AutoStartTime", pSettings->cAutoStartTime) &&
           WriteText(hKey, L"AutoEndTime", pSettings->cAutoEndTime) &&
           WriteText(hKey, L"AutoDaysOk", pSettings->cAutoDaysOk) &&
           WriteDword(hKey, L"EnableNotification", pSettings->dwEnableNotification) &&
           WriteDword(hKey, L"EnableConfirmation", pSettings->dwEnableConfirmation) &&
           WriteDword(hKey, L"AutoBootTimeMftRequested", pSettings->dwMftRequested) &&
           WriteDword(hKey, L"AutoBootTimePageRequested", pSettings->dwPageRequested) &&
           WriteDword(hKey, L"MftMinFragCount", pSettings->dwMftMinFragCount) &&
           WriteDword(hKey, L"PfMinFragCount", pSettings->dwPfMinFragCount));
    RegCloseKey(hKey);
}

// ---------------------------------------------------- the settings file

// A key of the settings file into pValue (BULWARK_TEXT_CHARS + 1); the
// default when the key, or the file (pPath nullptr), is missing or the
// value is empty.
static void ReadSettingsText(LPCWSTR pPath, LPCWSTR pKey, LPCWSTR pDefault, WCHAR *pValue) {
    pValue[0] = 0;
    if (pPath != nullptr) {
        GetPrivateProfileStringW(cSettingsSection, pKey, pDefault, pValue, BULWARK_TEXT_CHARS + 1, pPath);
    }
    if (pValue[0] == 0) {
        TextCopy(pValue, BULWARK_TEXT_CHARS + 1, pDefault);
    }
}

// A number of the settings file; the default when it is not a decimal one.
static DWORD ReadSettingsNumber(LPCWSTR pPath, LPCWSTR pKey, LPCWSTR pDefault) {
    WCHAR cValue[BULWARK_TEXT_CHARS + 1];
    DWORD dwValue = 0;
    ReadSettingsText(pPath, pKey, pDefault, cValue);
    if (!ParseNumber(cValue, &dwValue)) {
        ParseNumber(pDefault, &dwValue);
    }
    return dwValue;
}

// The silent installation's settings: "Bulwark.ess" in the installation
// source folder (SOURCEDIR). The words are compared in any case.
static void ReadSettingsFile(MSIHANDLE hInstall, BULWARK_SETTINGS *pSettings) {
    WCHAR *pSource = GetInstallerProperty(hInstall, L"SOURCEDIR");
    WCHAR *pPath = pSource != nullptr && pSource[0] != 0 ? PathJoin(pSource, cSettingsFile) : nullptr;
    WCHAR cValue[BULWARK_TEXT_CHARS + 1];

    ReadSettingsText(pPath, L"PagingFileBulwark", L"Enable", cValue);
    pSettings->dwEnableFgPage = TextEqualNoCase(cValue, L"Enable");
    ReadSettingsText(pPath, L"MFTBulwark", L"Enable", cValue);
    pSettings->dwEnableFgMft = TextEqualNoCase(cValue, L"Enable") ? 1 : 0;
    ReadSettingsText(pPath, L"AutomaticBootTime", L"Never", cValue);
    pSettings->dwEnableAutoBootTime = !TextEqualNoCase(cValue, L"Never");
    ReadSettingsText(pPath, L"Notification", L"yes", cValue);
    pSettings->dwEnableNotification = TextEqualNoCase(cValue, L"yes");
    ReadSettingsText(pPath, L"AllowRestart_When", L"everyday", pSettings->cAutoDaysOk);
    ReadSettingsText(pPath, L"AllowRestart_Between", L" 1:00 am", pSettings->cAutoStartTime);
    ReadSettingsText(pPath, L"AllowRestart_And", L" 3:00 am", pSettings->cAutoEndTime);
    pSettings->dwMftMinFragCount = ReadSettingsNumber(pPath, L"MFTFragments", L"3");
    pSettings->dwPfMinFragCount = ReadSettingsNumber(pPath, L"PagingFileFragments", L"10");

    SetupFree(pPath);
    SetupFree(pSource);
}

// ------------------------------------------------------------- actions

// Shows the settings dialog, or reads the settings file in a silent
// installation, and stores the settings. Nothing when an earlier
// installation's settings were saved (they are restored instead) or the
// dialog is cancelled. 1603 only when "UILevel" cannot be read.
extern "C" UINT WINAPI BulwarkDlg(MSIHANDLE hInstall) {
    WCHAR *pSaved = TempFilePath(L"bulwarksettings.reg");
    BOOL bSaved = pSaved != nullptr && FileExists(pSaved);
    SetupFree(pSaved);
    if (bSaved) {
        return ERROR_SUCCESS;
    }

    BULWARK_SETTINGS settings;
    InitSettings(&settings);
    LoadSettings(&settings);

    BOOL bSilent;
    if (!GetSilentInstall(hInstall, &bSilent)) {
        return ERROR_INSTALL_FAILURE;
    }
    if (bSilent) {
        ReadSettingsFile(hInstall, &settings);
    } else if (!ShowBulwarkDialog(&settings)) {
        return ERROR_SUCCESS;
    }
    StoreSettings(&settings);
    return ERROR_SUCCESS;
}

// Whether the "PagingFiles" list (REG_MULTI_SZ, entries like
// "C:\pagefile.sys 64 128") names a paging file on the drive.
static BOOL CarriesPagingFile(const WCHAR *pList, int iDrive) {
    for (const WCHAR *p = pList; p != nullptr && *p != 0; p += TextLength(p) + 1) {
        WCHAR c = p[0] >= L'a' && p[0] <= L'z' ? p[0] - L'a' + L'A' : p[0];
        if (c == L'A' + iDrive && p[1] == L':') {
            return TRUE;
        }
    }
    return FALSE;
}

// Whether the drive is local (fixed or removable) and formatted NTFS.
static BOOL CanGuardMft(int iDrive) {
    WCHAR cRoot[] = {static_cast<WCHAR>(L'A' + iDrive), L':', L'\\', 0};
    switch (GetDriveTypeW(cRoot)) {
    case DRIVE_UNKNOWN:
    case DRIVE_NO_ROOT_DIR:
    case DRIVE_REMOTE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
        return FALSE;
    default:
        break;
    }
    WCHAR cFileSystem[MAX_PATH + 1];
    return GetVolumeInformationW(cRoot, nullptr, 0, nullptr, nullptr, nullptr, cFileSystem, ARRAYSIZE(cFileSystem)) &&
           TextEqual(cFileSystem, L"NTFS");
}

// Deletes the "PfDrives" subkey of each drive without a paging file and the
// "MftDrives" subkey of each drive that is not a local NTFS volume.
extern "C" UINT WINAPI CreateBulwarkRegistry(MSIHANDLE hInstall) {
    WCHAR *pPagingFiles = nullptr;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management", 0,
                      KEY_READ, &hKey) == ERROR_SUCCESS) {
        DWORD dwType;
        pPagingFiles = reinterpret_cast<WCHAR *>(RegReadData(hKey, L"PagingFiles", &dwType, nullptr));
        if (pPagingFiles != nullptr && dwType != REG_MULTI_SZ) {
            SetupFree(pPagingFiles);
            pPagingFiles = nullptr;
        }
        RegCloseKey(hKey);
    }
    HKEY hPfDrives = nullptr, hMftDrives = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, BULWARK_KEY L"\\PfDrives", 0, KEY_ALL_ACCESS, &hPfDrives) != ERROR_SUCCESS) {
        hPfDrives = nullptr;
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, BULWARK_KEY L"\\MftDrives", 0, KEY_ALL_ACCESS, &hMftDrives) !=
        ERROR_SUCCESS) {
        hMftDrives = nullptr;
    }
    // No "insert a disk" box for an empty drive.
    UINT uErrorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (int iDrive = 0; iDrive < BULWARK_DRIVES; iDrive++) {
        WCHAR cName[] = {static_cast<WCHAR>(L'A' + iDrive), L':', 0};
        if (hPfDrives != nullptr && !CarriesPagingFile(pPagingFiles, iDrive)) {
            RegDeleteKeyW(hPfDrives, cName);
        }
        if (hMftDrives != nullptr && !CanGuardMft(iDrive)) {
            RegDeleteKeyW(hMftDrives, cName);
        }
    }
    SetErrorMode(uErrorMode);
    if (hPfDrives != nullptr) {
        RegCloseKey(hPfDrives);
    }
    if (hMftDrives != nullptr) {
        RegCloseKey(hMftDrives);
    }
    SetupFree(pPagingFiles);
    return ERROR_SUCCESS;
}
