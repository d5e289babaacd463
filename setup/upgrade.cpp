// An earlier installation of the product: detecting it and running its
// uninstaller (after saving its settings to TEMP), putting the saved
// settings back, and removing the saved-settings and control files.
#include "setupaid.h"

namespace {

// The saved settings: the three subkeys of the product key and their hive
// files in TEMP, in the order they are saved and restored.
const struct {
    LPCWSTR pSubkey;
    LPCWSTR pFile;
} savedKeys[] = {
    {L"UserSettings", L"usersettings.reg"},
    {L"AutoBootTime", L"autosettings.reg"},
    {L"Bulwark", L"bulwarksettings.reg"},
};

const WCHAR cControlFile[] = L"tesserin.ctl";
const LPCWSTR pControlFiles[] = {L"tesserin.ctl", L"exclude.ctl", L"excall.ctl"};

const LPCWSTR pUninstallKeys[] = {
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tesserin",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5E1D2A40-3C6B-4F7E-9A21-7D0C4B8E1F36}",
};

// Whether the product key holds "Build": an installation is there.
BOOL IsInstalled() {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL bInstalled = RegHasValue(hKey, L"Build");
    RegCloseKey(hKey);
    return bInstalled;
}

// pFile in the product folder ("PathName"); nullptr when it is not known.
WCHAR *ProductFilePath(LPCWSTR pFile) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return nullptr;
    }
    WCHAR *pFolder = RegReadText(hKey, L"PathName");
    RegCloseKey(hKey);
    WCHAR *pPath = pFolder != nullptr ? PathJoin(pFolder, pFile) : nullptr;
    SetupFree(pFolder);
    return pPath;
}

// Copies pFrom to pTo, replacing it.
BOOL CopyOver(WCHAR *pFrom, WCHAR *pTo) {
    BOOL bCopied = pFrom != nullptr && pTo != nullptr && CopyFileW(pFrom, pTo, FALSE);
    SetupFree(pFrom);
    SetupFree(pTo);
    return bCopied;
}

// Saves the subkey to its hive file. A file left by an earlier attempt is
// replaced: RegSaveKeyW will not write over one.
BOOL SaveKey(HKEY hProduct, LPCWSTR pSubkey, LPCWSTR pFile) {
    WCHAR *pPath = TempFilePath(pFile);
    HKEY hKey;
    BOOL bSaved = FALSE;
    if (pPath != nullptr && RegOpenKeyExW(hProduct, pSubkey, 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS) {
        DeleteFileW(pPath);
        bSaved = RegSaveKeyW(hKey, pPath, nullptr) == ERROR_SUCCESS;
        RegCloseKey(hKey);
    }
    SetupFree(pPath);
    return bSaved;
}

// The earlier installation's settings into TEMP: its control file, then
// the three subkeys (with the backup privilege). Stops at the first failure.
BOOL SaveOldSettings() {
    if (!CopyOver(ProductFilePath(cControlFile), TempFilePath(cControlFile))) {
        return FALSE;
    }
    HKEY hProduct;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, KEY_ALL_ACCESS, &hProduct) != ERROR_SUCCESS) {
        return FALSE;
    }
    TOKEN_PRIVILEGES previous;
    BOOL bSaved = EnablePrivilege(SE_BACKUP_NAME, &previous);
    if (bSaved) {
        for (const auto &saved : savedKeys) {
            if (!SaveKey(hProduct, saved.pSubkey, saved.pFile)) {
                bSaved = FALSE;
                break;
            }
        }
        RestorePrivilege(&previous);
    }
    RegCloseKey(hProduct);
    return bSaved;
}

// Restores the subkey from its hive file (with the restore privilege).
BOOL RestoreKey(HKEY hProduct, LPCWSTR pSubkey, LPCWSTR pPath) {
    TOKEN_PRIVILEGES previous;
    if (!EnablePrivilege(SE_RESTORE_NAME, &previous)) {
        return FALSE;
    }
    HKEY hKey;
    BOOL bRestored = FALSE;
    if (RegCreateKeyExW(hProduct, pSubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
        bRestored = RegRestoreKeyW(hKey, pPath, REG_FORCE_RESTORE) == ERROR_SUCCESS;
        RegCloseKey(hKey);
    }
    RestorePrivilege(&previous);
    return bRestored;
}

// The saved subkeys back, in order, until the first hive file that is
// missing (success) or the first failure.
BOOL RestoreSavedKeys() {
    HKEY hProduct;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hProduct, nullptr) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL bRestored = TRUE;
    for (const auto &saved : savedKeys) {
        WCHAR *pPath = TempFilePath(saved.pFile);
        BOOL bPresent = pPath != nullptr && FileExists(pPath);
        if (bPresent) {
            bRestored = RestoreKey(hProduct, saved.pSubkey, pPath);
        }
        SetupFree(pPath);
        if (!bPresent || !bRestored) {
            break;
        }
    }
    RegCloseKey(hProduct);
    return bRestored;
}

// Runs the command line of each uninstall entry that has one and waits for
// it. TRUE when at least one could be started.
BOOL RunOldUninstallers() {
    BOOL bRun = FALSE;
    for (LPCWSTR pKey : pUninstallKeys) {
        HKEY hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
            continue;
        }
        WCHAR *pCommand = RegReadText(hKey, L"UninstallString");
        RegCloseKey(hKey);
        if (pCommand != nullptr && pCommand[0] != 0 && RunProgram(pCommand)) {
            bRun = TRUE;
        }
        SetupFree(pCommand);
    }
    return bRun;
}

// The question asked when settings cannot be saved or restored: 0 to go on,
// 1603 to stop.
UINT AskToContinue(MSIHANDLE hInstall) {
    return AskQuestion(hInstall, IDS_ASK_CONTINUE) == IDYES ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

// An earlier installation: with the user's consent, its settings saved and
// its uninstaller run. 0 when none is there or it is gone afterwards; 1603
// when it stays (refused, silent, or the uninstaller did not remove it).
extern "C" UINT WINAPI CheckOldTesserinInstalled(MSIHANDLE hInstall) {
    if (!IsInstalled()) {
        return ERROR_SUCCESS;
    }
    if (AskQuestion(hInstall, IDS_ASK_REMOVE) != IDYES) {
        return ERROR_INSTALL_FAILURE;
    }
    if (AskQuestion(hInstall, IDS_ASK_SAVE) == IDYES && !SaveOldSettings() &&
        AskToContinue(hInstall) != ERROR_SUCCESS) {
        return ERROR_INSTALL_FAILURE;
    }
    if (!RunOldUninstallers() || IsInstalled()) {
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// The saved settings back: the control file into the product folder, then
// the saved subkeys. 0 when nothing was saved.
extern "C" UINT WINAPI RestoreOldSettings(MSIHANDLE hInstall) {
    WCHAR *pSavedControl = TempFilePath(cControlFile);
    BOOL bSaved = pSavedControl != nullptr && FileExists(pSavedControl);
    if (!bSaved) {
        SetupFree(pSavedControl);
        return ERROR_SUCCESS;
    }
    if (!CopyOver(pSavedControl, ProductFilePath(cControlFile)) || !RestoreSavedKeys()) {
        return AskToContinue(hInstall);
    }
    return ERROR_SUCCESS;
}

// Deletes the saved subkeys' hive files from TEMP.
extern "C" UINT WINAPI DeleteTempRegFiles(MSIHANDLE hInstall) {
    for (const auto &saved : savedKeys) {
        WCHAR *pPath = TempFilePath(saved.pFile);
        if (pPath == nullptr) {
            break;
        }
        DeleteFileW(pPath);
        SetupFree(pPath);
        Sleep(500);
    }
    return ERROR_SUCCESS;
}

// Deletes the product's control files from its folder.
extern "C" UINT WINAPI DeleteControlFiles(MSIHANDLE hInstall) {
    BOOL bKnown = FALSE;
    for (LPCWSTR pFile : pControlFiles) {
        WCHAR *pPath = ProductFilePath(pFile);
        if (pPath != nullptr) {
            bKnown = TRUE;
            DeleteFileW(pPath);
            SetupFree(pPath);
        }
    }
    if (bKnown) {
        Sleep(500);
    }
    return ERROR_SUCCESS;
}
