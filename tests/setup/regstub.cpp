// Stand-in for the defragmenter's libraries that RegisterVRMS hands to
// regsvr32: DllRegisterServer records the module's path under
// HKLM\SOFTWARE\SetupAidTest\Registered, in a value named after its file.
#include <windows.h>

static HINSTANCE hModule;

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        hModule = hInstance;
    }
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    WCHAR cPath[MAX_PATH];
    DWORD cch = GetModuleFileNameW(hModule, cPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        return E_FAIL;
    }
    const WCHAR *pName = cPath;
    for (const WCHAR *p = cPath; *p != 0; p++) {
        if (*p == L'\\') {
            pName = p + 1;
        }
    }
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SetupAidTest\\Registered", 0, nullptr, 0, KEY_WRITE, nullptr,
                        &hKey, nullptr) != ERROR_SUCCESS) {
        return E_FAIL;
    }
    LONG lResult =
        RegSetValueExW(hKey, pName, 0, REG_SZ, reinterpret_cast<const BYTE *>(cPath), (cch + 1) * sizeof(WCHAR));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS ? S_OK : E_FAIL;
}
