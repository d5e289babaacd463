// setupaid.dll, the installer's helper library: the custom actions the
// product's Windows Installer package calls, and the support routines their
// sources share (support.cpp).
//
// The library has no C runtime. It imports from kernel32, user32, advapi32
// and msi (the property query by ordinal); HTML Help is loaded when the
// dialog's Help button asks for it. Every action takes the installer session
// handle and returns 0, or ERROR_INSTALL_FAILURE (1603), which makes the
// installer roll back.
#pragma once

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include "resource.h"

// The exports (setupaid.def).
extern "C" {
UINT WINAPI BulwarkDlg(MSIHANDLE hInstall);
UINT WINAPI CreateBulwarkRegistry(MSIHANDLE hInstall);
UINT WINAPI CheckOldTesserinInstalled(MSIHANDLE hInstall);
UINT WINAPI RestoreOldSettings(MSIHANDLE hInstall);
UINT WINAPI DeleteTempRegFiles(MSIHANDLE hInstall);
UINT WINAPI DeleteControlFiles(MSIHANDLE hInstall);
UINT WINAPI AddNullPipes(MSIHANDLE hInstall);
UINT WINAPI RemoveNullPipes(MSIHANDLE hInstall);
UINT WINAPI RegisterVRMS(MSIHANDLE hInstall);
}

// HKEY_LOCAL_MACHINE keys of the product.
#define PRODUCT_KEY L"SOFTWARE\\Halvorn Systems\\TesserinNT4"
#define BULWARK_KEY PRODUCT_KEY L"\\Bulwark"
#define AUTOBOOT_KEY PRODUCT_KEY L"\\AutoBootTime"

// This module (set by the entry point).
extern HINSTANCE hSetupAid;

// Heap blocks, zero-filled; SetupFree takes nullptr.
void *SetupAlloc(SIZE_T cbSize);
void SetupFree(void *pBlock);

// Text. The routines that return WCHAR * return a new heap block (free it
// with SetupFree) or nullptr when out of memory.
SIZE_T TextLength(LPCWSTR pText);
void TextCopy(WCHAR *pDest, SIZE_T cchDest, LPCWSTR pSource);
BOOL TextEqual(LPCWSTR pA, LPCWSTR pB);
BOOL TextEqualNoCase(LPCWSTR pA, LPCWSTR pB);
WCHAR *TextJoin(LPCWSTR pA, LPCWSTR pB, LPCWSTR pC = L"");
// pFolder and pFile joined by one backslash.
WCHAR *PathJoin(LPCWSTR pFolder, LPCWSTR pFile);
// A string of the library's string table into pBuffer; FALSE when missing.
BOOL LoadText(UINT uId, WCHAR *pBuffer, int cchBuffer);
// A decimal number: TRUE when pText holds one (digits only, at most nine).
BOOL ParseNumber(LPCWSTR pText, DWORD *pdwValue);

// The environment variable's value, or nullptr when it is not set.
WCHAR *GetEnvironmentText(LPCWSTR pName);
// pFile in the folder named by TEMP, or nullptr when TEMP is not set.
WCHAR *TempFilePath(LPCWSTR pFile);
BOOL FileExists(LPCWSTR pPath);

// The installer property's value, or nullptr when it cannot be read.
WCHAR *GetInstallerProperty(MSIHANDLE hInstall, LPCWSTR pName);
// Reads "UILevel": FALSE when it cannot be read, else TRUE with *pbSilent
// set for a silent installation (a value beginning with '2').
BOOL GetSilentInstall(MSIHANDLE hInstall, BOOL *pbSilent);
// Asks the question (string uTextId) with Yes and No in a message box with
// no owner. IDYES or IDNO; 0 when no question can be asked (a silent
// installation, an unreadable "UILevel", no message box).
int AskQuestion(MSIHANDLE hInstall, UINT uTextId);

// Starts the command line (normal priority, default window state) and waits
// for it to end, without time-out. TRUE when it could be started.
BOOL RunProgram(LPCWSTR pCommandLine);

// Enables a privilege for the process; *pPrevious receives what to hand
// RestorePrivilege afterwards. FALSE when the process does not hold it.
BOOL EnablePrivilege(LPCWSTR pName, TOKEN_PRIVILEGES *pPrevious);
void RestorePrivilege(const TOKEN_PRIVILEGES *pPrevious);

// A registry value's data, followed by two zero characters so that text
// read from it always ends; nullptr when it is missing. *pdwType and
// *pcbData (without the two) may be nullptr.
BYTE *RegReadData(HKEY hKey, LPCWSTR pName, DWORD *pdwType, DWORD *pcbData);
// A REG_SZ or REG_EXPAND_SZ value as text; nullptr when missing or of
// another type.
WCHAR *RegReadText(HKEY hKey, LPCWSTR pName);
BOOL RegHasValue(HKEY hKey, LPCWSTR pName);
