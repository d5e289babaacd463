// The Bulwark settings dialog (resource IDD_BULWARK): shows a settings
// object, lets the user change it, and checks the restart window on OK.
#include "bulwark.h"

// After windows.h, which it needs.
#include <htmlhelp.h>

namespace {

// The dialog's state, at DWLP_USER: the object being changed, where it goes
// when accepted, and HTML Help once Help was asked for.
struct DIALOG_STATE {
    BULWARK_SETTINGS work;
    BULWARK_SETTINGS *pResult;
    HMODULE hHtmlHelp;
};

typedef HWND(WINAPI *HTML_HELP_W)(HWND, LPCWSTR, UINT, DWORD_PTR);

// Controls that automatic boot-time "Ne&ver" disables: the fragment lists
// and their labels, the notification and confirmation buttons, the restart
// lists (the end list also follows the start entry).
const int iAutoBootControls[] = {IDC_MFT_FRAGS_LABEL,
                                 IDC_MFT_FRAGS,
                                 IDC_MFT_FRAGS_UNIT,
                                 IDC_PAGE_FRAGS_LABEL,
                                 IDC_PAGE_FRAGS,
                                 IDC_PAGE_FRAGS_UNIT,
                                 IDC_NOTIFICATION,
                                 IDC_CONFIRMATION,
                                 IDC_DAYS,
                                 IDC_START};

// Index of the start list's "all day" entry; the hours follow it.
const int iAllDay = 0;

DIALOG_STATE *StateOf(HWND hDlg) { return reinterpret_cast<DIALOG_STATE *>(GetWindowLongPtrW(hDlg, DWLP_USER)); }

void EnableItem(HWND hDlg, int iId, BOOL bEnable) { EnableWindow(GetDlgItem(hDlg, iId), bEnable); }

BOOL IsChecked(HWND hDlg, int iId) { return IsDlgButtonChecked(hDlg, iId) == BST_CHECKED; }

LRESULT ItemMessage(HWND hDlg, int iId, UINT uMessage, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageW(hDlg, iId, uMessage, wParam, lParam);
}

// ----------------------------------------------------------- the lists

// Appends the strings uFirst .. uFirst + uCount - 1 of the string table.
void AddStrings(HWND hDlg, int iId, UINT uFirst, UINT uCount) {
    for (UINT u = 0; u < uCount; u++) {
        WCHAR cText[BULWARK_TEXT_CHARS + 1];
        if (LoadText(uFirst + u, cText, ARRAYSIZE(cText))) {
            ItemMessage(hDlg, iId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(cText));
        }
    }
}

// The fragment counts, from, step and to as the string table gives them.
void AddFragmentCounts(HWND hDlg, int iId) {
    WCHAR cText[16];
    DWORD dwFrom = 0, dwStep = 0, dwTo = 0;
    if (!LoadText(IDS_FRAGS_START, cText, ARRAYSIZE(cText)) || !ParseNumber(cText, &dwFrom) ||
        !LoadText(IDS_FRAGS_STEP, cText, ARRAYSIZE(cText)) || !ParseNumber(cText, &dwStep) ||
        !LoadText(IDS_FRAGS_END, cText, ARRAYSIZE(cText)) || !ParseNumber(cText, &dwTo) || dwStep == 0) {
        return;
    }
    for (DWORD dw = dwFrom; dw <= dwTo; dw += dwStep) {
        wsprintfW(cText, L"%lu", dw);
        ItemMessage(hDlg, iId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(cText));
    }
}

// Selects the entry whose text is pText exactly; none when there is none.
void SelectText(HWND hDlg, int iId, LPCWSTR pText) {
    int cItems = static_cast<int>(ItemMessage(hDlg, iId, CB_GETCOUNT));
    for (int i = 0; i < cItems; i++) {
        WCHAR cItem[BULWARK_TEXT_CHARS + 1];
        if (ItemMessage(hDlg, iId, CB_GETLBTEXTLEN, i) <= BULWARK_TEXT_CHARS &&
            ItemMessage(hDlg, iId, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(cItem)) != CB_ERR &&
            TextEqual(cItem, pText)) {
            ItemMessage(hDlg, iId, CB_SETCURSEL, i);
            return;
        }
    }
    ItemMessage(hDlg, iId, CB_SETCURSEL, static_cast<WPARAM>(-1));
}

void SelectNumber(HWND hDlg, int iId, DWORD dwValue) {
    WCHAR cText[16];
    wsprintfW(cText, L"%lu", dwValue);
    SelectText(hDlg, iId, cText);
}

// The selected entry's text into pText (BULWARK_TEXT_CHARS + 1); FALSE,
// leaving pText alone, when nothing is selected.
BOOL GetSelectedText(HWND hDlg, int iId, WCHAR *pText) {
    int i = static_cast<int>(ItemMessage(hDlg, iId, CB_GETCURSEL));
    WCHAR cItem[BULWARK_TEXT_CHARS + 1];
    if (i < 0 || ItemMessage(hDlg, iId, CB_GETLBTEXTLEN, i) > BULWARK_TEXT_CHARS ||
        ItemMessage(hDlg, iId, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(cItem)) == CB_ERR) {
        return FALSE;
    }
    TextCopy(pText, BULWARK_TEXT_CHARS + 1, cItem);
    return TRUE;
}

void GetSelectedNumber(HWND hDlg, int iId, DWORD *pdwValue) {
    WCHAR cText[BULWARK_TEXT_CHARS + 1];
    if (GetSelectedText(hDlg, iId, cText)) {
        ParseNumber(cText, pdwValue);
    }
}

// ------------------------------------------------------ the volume list

// The volume list's line for a drive: "C:\tEnabled" or "C:\t".
void DriveLine(const BULWARK_SETTINGS *pSettings, int iDrive, WCHAR *pLine) {
    WCHAR cFormat[32], cEnabled[32];
    LoadText(IDS_DRIVE_LINE, cFormat, ARRAYSIZE(cFormat));
    LoadText(IDS_DRIVE_ENABLED, cEnabled, ARRAYSIZE(cEnabled));
    wsprintfW(pLine, cFormat, L'A' + iDrive, pSettings->dwDriveMftEnabled[iDrive] ? cEnabled : L"");
}

void FillVolumes(HWND hDlg, const BULWARK_SETTINGS *pSettings) {
    for (int iDrive = 0; iDrive < BULWARK_DRIVES; iDrive++) {
        if (pSettings->bDriveKnown[iDrive]) {
            WCHAR cLine[64];
            DriveLine(pSettings, iDrive, cLine);
            LRESULT i = ItemMessage(hDlg, IDC_VOLUMES, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(cLine));
            ItemMessage(hDlg, IDC_VOLUMES, LB_SETITEMDATA, i, iDrive);
        }
    }
}

// Switches the drive of line i on or off and redraws the line, keeping its
// selection.
void SetVolume(HWND hDlg, DIALOG_STATE *pState, int i, BOOL bEnabled) {
    int iDrive = static_cast<int>(ItemMessage(hDlg, IDC_VOLUMES, LB_GETITEMDATA, i));
    if (iDrive < 0 || iDrive >= BULWARK_DRIVES) {
        return;
    }
    pState->work.dwDriveMftEnabled[iDrive] = bEnabled ? 1 : 0;
    WCHAR cLine[64];
    DriveLine(&pState->work, iDrive, cLine);
    LRESULT bSelected = ItemMessage(hDlg, IDC_VOLUMES, LB_GETSEL, i);
    ItemMessage(hDlg, IDC_VOLUMES, LB_DELETESTRING, i);
    ItemMessage(hDlg, IDC_VOLUMES, LB_INSERTSTRING, i, reinterpret_cast<LPARAM>(cLine));
    ItemMessage(hDlg, IDC_VOLUMES, LB_SETITEMDATA, i, iDrive);
    ItemMessage(hDlg, IDC_VOLUMES, LB_SETSEL, bSelected > 0, i);
}

// Set and Clear: the selected drives on or off.
void SetSelectedVolumes(HWND hDlg, DIALOG_STATE *pState, BOOL bEnabled) {
    int cItems = static_cast<int>(ItemMessage(hDlg, IDC_VOLUMES, LB_GETCOUNT));
    for (int i = 0; i < cItems; i++) {
        if (ItemMessage(hDlg, IDC_VOLUMES, LB_GETSEL, i) > 0) {
            SetVolume(hDlg, pState, i, bEnabled);
        }
    }
}

// A double-click: the line under the caret toggled.
void ToggleVolume(HWND hDlg, DIALOG_STATE *pState) {
    int i = static_cast<int>(ItemMessage(hDlg, IDC_VOLUMES, LB_GETCARETINDEX));
    int iDrive = static_cast<int>(ItemMessage(hDlg, IDC_VOLUMES, LB_GETITEMDATA, i));
    if (i >= 0 && iDrive >= 0 && iDrive < BULWARK_DRIVES) {
        SetVolume(hDlg, pState, i, !pState->work.dwDriveMftEnabled[iDrive]);
    }
}

// -------------------------------------------------------------- states

// Enables what the choices allow: the volume list and its buttons in MFT
// mode 2; the schedule with automatic boot-time on; the end list (and its
// label) unless the start entry is "all day", which also clears the end.
void UpdateControls(HWND hDlg) {
    BOOL bEach = IsChecked(hDlg, IDC_MFT_EACH);
    EnableItem(hDlg, IDC_VOLUMES, bEach);
    EnableItem(hDlg, IDC_VOLUMES_SET, bEach);
    EnableItem(hDlg, IDC_VOLUMES_CLEAR, bEach);

    BOOL bAuto = IsChecked(hDlg, IDC_AUTO_ONLY);
    for (int iId : iAutoBootControls) {
        EnableItem(hDlg, iId, bAuto);
    }
    BOOL bAllDay = ItemMessage(hDlg, IDC_START, CB_GETCURSEL) == iAllDay;
    if (bAllDay) {
        ItemMessage(hDlg, IDC_END, CB_SETCURSEL, static_cast<WPARAM>(-1));
    }
    EnableItem(hDlg, IDC_END, bAuto && !bAllDay);
    EnableItem(hDlg, IDC_END_LABEL, !bAllDay);
}

void InitDialog(HWND hDlg, DIALOG_STATE *pState) {
    const BULWARK_SETTINGS *p = &pState->work;
    CheckRadioButton(hDlg, IDC_PAGE_ENABLE, IDC_PAGE_DISABLE, p->dwEnableFgPage ? IDC_PAGE_ENABLE : IDC_PAGE_DISABLE);
    if (p->dwEnableFgMft <= 2) {
        CheckRadioButton(hDlg, IDC_MFT_NONE, IDC_MFT_EACH, IDC_MFT_NONE + static_cast<int>(p->dwEnableFgMft));
    }
    FillVolumes(hDlg, p);
    CheckRadioButton(hDlg, IDC_AUTO_NEVER, IDC_AUTO_ONLY, p->dwEnableAutoBootTime ? IDC_AUTO_ONLY : IDC_AUTO_NEVER);

    AddFragmentCounts(hDlg, IDC_MFT_FRAGS);
    AddFragmentCounts(hDlg, IDC_PAGE_FRAGS);
    SelectNumber(hDlg, IDC_MFT_FRAGS, p->dwMftMinFragCount);
    SelectNumber(hDlg, IDC_PAGE_FRAGS, p->dwPfMinFragCount);
    CheckDlgButton(hDlg, IDC_NOTIFICATION, p->dwEnableNotification ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDC_CONFIRMATION, p->dwEnableConfirmation ? BST_CHECKED : BST_UNCHECKED);

    AddStrings(hDlg, IDC_DAYS, IDS_DAY_FIRST, IDS_DAY_COUNT);
    AddStrings(hDlg, IDC_START, IDS_ALL_DAY, 1);
    AddStrings(hDlg, IDC_START, IDS_HOUR_FIRST, IDS_HOUR_COUNT);
    AddStrings(hDlg, IDC_END, IDS_HOUR_FIRST, IDS_HOUR_COUNT);
    SelectText(hDlg, IDC_DAYS, p->cAutoDaysOk);
    SelectText(hDlg, IDC_START, p->cAutoStartTime);
    SelectText(hDlg, IDC_END, p->cAutoEndTime);
    UpdateControls(hDlg);
}

// Shows a message of the dialog (caption "Tesserin").
void ShowDialogMessage(HWND hDlg, UINT uTextId, UINT uStyle) {
    WCHAR cText[256], cCaption[64];
    LoadText(uTextId, cText, ARRAYSIZE(cText));
    LoadText(IDS_DIALOG_CAPTION, cCaption, ARRAYSIZE(cCaption));
    MessageBoxW(hDlg, cText, cCaption, uStyle);
}

// OK: the restart window checked, then the choices taken into the result.
void AcceptDialog(HWND hDlg, DIALOG_STATE *pState) {
    BULWARK_SETTINGS *p = &pState->work;
    int iStart = static_cast<int>(ItemMessage(hDlg, IDC_START, CB_GETCURSEL));
    int iEnd = static_cast<int>(ItemMessage(hDlg, IDC_END, CB_GETCURSEL));
    WCHAR cStart[BULWARK_TEXT_CHARS + 1], cEnd[BULWARK_TEXT_CHARS + 1];
    if (iStart != iAllDay && GetSelectedText(hDlg, IDC_START, cStart) && GetSelectedText(hDlg, IDC_END, cEnd) &&
        TextEqual(cStart, cEnd)) {
        // The same hour: the whole day.
        ShowDialogMessage(hDlg, IDS_SAME_TIME, MB_OK | MB_ICONWARNING);
        ItemMessage(hDlg, IDC_START, CB_SETCURSEL, iAllDay);
        UpdateControls(hDlg);
        iStart = iAllDay;
        iEnd = -1;
    }
    if (iStart < 0 || (iStart != iAllDay && iEnd < 0)) {
        ShowDialogMessage(hDlg, IDS_NO_END_TIME, MB_OK | MB_ICONINFORMATION);
        SendMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, IDC_END)), TRUE);
        return;
    }

    p->dwEnableFgPage = IsChecked(hDlg, IDC_PAGE_ENABLE);
    for (int iMode = 0; iMode <= 2; iMode++) {
        if (IsChecked(hDlg, IDC_MFT_NONE + iMode)) {
            p->dwEnableFgMft = iMode;
        }
    }
    p->dwEnableAutoBootTime = IsChecked(hDlg, IDC_AUTO_ONLY);
    GetSelectedNumber(hDlg, IDC_MFT_FRAGS, &p->dwMftMinFragCount);
    GetSelectedNumber(hDlg, IDC_PAGE_FRAGS, &p->dwPfMinFragCount);
    p->dwEnableNotification = IsChecked(hDlg, IDC_NOTIFICATION);
    p->dwEnableConfirmation = IsChecked(hDlg, IDC_CONFIRMATION);
    GetSelectedText(hDlg, IDC_DAYS, p->cAutoDaysOk);
    GetSelectedText(hDlg, IDC_START, p->cAutoStartTime);
    // With "all day" the end list is empty: the end text stays as it was.
    GetSelectedText(hDlg, IDC_END, p->cAutoEndTime);
    *pState->pResult = *p;
    EndDialog(hDlg, IDOK);
}

// Help: the dialog's topic in the product's help file, through HTML Help,
// which is loaded the first time (a machine without it has no help).
void ShowHelp(HWND hDlg, DIALOG_STATE *pState) {
    if (pState->hHtmlHelp == nullptr) {
        pState->hHtmlHelp = LoadLibraryW(L"hhctrl.ocx");
    }
    HTML_HELP_W pHtmlHelp =
        pState->hHtmlHelp == nullptr
            ? nullptr
            : reinterpret_cast<HTML_HELP_W>(reinterpret_cast<void *>(GetProcAddress(pState->hHtmlHelp, "HtmlHelpW")));
    WCHAR cTopic[MAX_PATH];
    if (pHtmlHelp == nullptr || !LoadText(IDS_HELP_TOPIC, cTopic, ARRAYSIZE(cTopic))) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    pHtmlHelp(hDlg, cTopic, HH_DISPLAY_TOPIC, 0);
}

void CloseHelp(DIALOG_STATE *pState) {
    if (pState->hHtmlHelp == nullptr) {
        return;
    }
    HTML_HELP_W pHtmlHelp =
        reinterpret_cast<HTML_HELP_W>(reinterpret_cast<void *>(GetProcAddress(pState->hHtmlHelp, "HtmlHelpW")));
    if (pHtmlHelp != nullptr) {
        pHtmlHelp(nullptr, nullptr, HH_CLOSE_ALL, 0);
    }
    FreeLibrary(pState->hHtmlHelp);
    pState->hHtmlHelp = nullptr;
}

INT_PTR CALLBACK BulwarkDialogProc(HWND hDlg, UINT uMessage, WPARAM wParam, LPARAM lParam) {
    DIALOG_STATE *pState = StateOf(hDlg);
    switch (uMessage) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        InitDialog(hDlg, reinterpret_cast<DIALOG_STATE *>(lParam));
        return TRUE;
    case WM_COMMAND:
        if (pState == nullptr) {
            return FALSE;
        }
        switch (LOWORD(wParam)) {
        case IDC_MFT_NONE:
        case IDC_MFT_ALL:
        case IDC_MFT_EACH:
        case IDC_AUTO_NEVER:
        case IDC_AUTO_ONLY:
            if (HIWORD(wParam) == BN_CLICKED) {
                UpdateControls(hDlg);
            }
            return TRUE;
        case IDC_START:
            if (HIWORD(wParam) == CBN_SELCHANGE) {
                UpdateControls(hDlg);
            }
            return TRUE;
        case IDC_VOLUMES:
            if (HIWORD(wParam) == LBN_DBLCLK) {
                ToggleVolume(hDlg, pState);
            }
            return TRUE;
        case IDC_VOLUMES_SET:
        case IDC_VOLUMES_CLEAR:
            SetSelectedVolumes(hDlg, pState, LOWORD(wParam) == IDC_VOLUMES_SET);
            return TRUE;
        case IDC_HELP_BUTTON:
            ShowHelp(hDlg, pState);
            return TRUE;
        case IDC_OK:
        case IDOK:
            AcceptDialog(hDlg, pState);
            return TRUE;
        case IDCANCEL:
            EndDialog(hDlg, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        if (pState != nullptr) {
            CloseHelp(pState);
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace

BOOL ShowBulwarkDialog(BULWARK_SETTINGS *pSettings) {
    DIALOG_STATE *pState = static_cast<DIALOG_STATE *>(SetupAlloc(sizeof(DIALOG_STATE)));
    if (pState == nullptr) {
        return FALSE;
    }
    pState->work = *pSettings;
    pState->pResult = pSettings;
    INT_PTR iResult = DialogBoxParamW(hSetupAid, MAKEINTRESOURCEW(IDD_BULWARK), nullptr, BulwarkDialogProc,
                                      reinterpret_cast<LPARAM>(pState));
    SetupFree(pState);
    return iResult == IDOK;
}
