// Reads dialogs for the installer tests, with Windows' own calls (under
// Wine: its user32, in the same Wine session as the dialog):
//   dlgprobe template DLL ID        the dialog resource ID of DLL (loaded as
//                                   data): a header line, then one line per
//                                   control: id, kind, caption
//   dlgprobe state TITLE            the open dialog with this title: one line
//                                   per control (id, class, enabled, checked,
//                                   text or selection, list lines), then the
//                                   control with the focus
//   dlgprobe items TITLE ID         the entries of a list or combo box, one a line
//   dlgprobe where TITLE ID [LINE]  the screen point in the middle of a control,
//                                   or of a list box line, as "X Y"
// Texts are written in UTF-8 with tabs as \t and line feeds as \n. Exit code 1 when the dialog
// or resource is not there, 2 for a bad command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Print(const std::wstring &text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        escaped += c == L'\t' ? std::wstring(L"\\t") : c == L'\n' ? std::wstring(L"\\n") : std::wstring(1, c);
    }
    int cb = WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, utf8.data(), cb, nullptr, nullptr);
    fputs(utf8.c_str(), stdout);
    fputc('\n', stdout);
}

// ------------------------------------------------------------ templates

// A name-or-ordinal field of a dialog template; advances p.
std::wstring NameOrOrdinal(const WORD *&p) {
    if (*p == 0xFFFF) {
        WORD ordinal = p[1];
        p += 2;
        return L"#" + std::to_wstring(ordinal);
    }
    std::wstring name(reinterpret_cast<const wchar_t *>(p));
    p += name.size() + 1;
    return name;
}

bool IsClass(const std::wstring &className, const wchar_t *pOrdinal, const wchar_t *pName) {
    return className == pOrdinal || _wcsicmp(className.c_str(), pName) == 0;
}

std::wstring ControlKind(const std::wstring &className, DWORD style) {
    if (IsClass(className, L"#128", L"Button")) {
        switch (style & BS_TYPEMASK) {
        case BS_PUSHBUTTON:
            return L"push";
        case BS_DEFPUSHBUTTON:
            return L"default";
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
            return L"check";
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return L"radio";
        case BS_GROUPBOX:
            return L"group";
        }
        return L"button";
    }
    if (IsClass(className, L"#130", L"Static")) {
        return L"label";
    }
    if (IsClass(className, L"#131", L"ListBox")) {
        std::wstring kind = L"list";
        if (style & LBS_MULTIPLESEL) kind += L",multiple";
        if (style & LBS_USETABSTOPS) kind += L",tabstops";
        return kind;
    }
    if (IsClass(className, L"#133", L"ComboBox")) {
        return (style & 3) == CBS_DROPDOWNLIST ? L"droplist" : L"combo";
    }
    return className;
}

int PrintTemplate(const wchar_t *pDll, int id) {
    HMODULE hModule = LoadLibraryExW(pDll, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC hResource = hModule != nullptr ? FindResourceW(hModule, MAKEINTRESOURCEW(id), RT_DIALOG) : nullptr;
    const BYTE *pData =
        hResource != nullptr ? static_cast<const BYTE *>(LockResource(LoadResource(hModule, hResource))) : nullptr;
    if (pData == nullptr) {
        fwprintf(stderr, L"dlgprobe: no dialog %d in %ls\n", id, pDll);
        return 1;
    }
    DWORD style;
    WORD cItems;
    short size[4];
    memcpy(&style, pData, 4);
    memcpy(&cItems, pData + 8, 2);
    memcpy(size, pData + 10, 8);
    const WORD *p = reinterpret_cast<const WORD *>(pData + 18);
    NameOrOrdinal(p);  // menu
    NameOrOrdinal(p);  // class
    std::wstring caption = NameOrOrdinal(p);
    std::wstring font;
    if (style & DS_SETFONT) {
        WORD points = *p++;
        font = L" font " + std::to_wstring(points) + L" \"" + NameOrOrdinal(p) + L"\"";
    }
    Print(L"dialog \"" + caption + L"\" " + std::to_wstring(size[2]) + L"x" + std::to_wstring(size[3]) + font);
    for (WORD i = 0; i < cItems; i++) {
        // Each item starts on a four-byte boundary.
        const BYTE *pItem = reinterpret_cast<const BYTE *>(p);
        pItem += (4 - (pItem - pData) % 4) % 4;
        DWORD itemStyle;
        WORD itemId;
        memcpy(&itemStyle, pItem, 4);
        memcpy(&itemId, pItem + 16, 2);
        p = reinterpret_cast<const WORD *>(pItem + 18);
        std::wstring className = NameOrOrdinal(p);
        std::wstring text = NameOrOrdinal(p);
        WORD cbExtra = *p++;
        p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p) + cbExtra);
        Print(std::to_wstring(itemId) + L" " + ControlKind(className, itemStyle) + L" \"" + text + L"\"");
    }
    FreeLibrary(hModule);
    return 0;
}

// ------------------------------------------------------------ live dialogs

HWND FindDialog(const wchar_t *pTitle) {
    HWND hDlg = FindWindowW(L"#32770", pTitle);
    if (hDlg == nullptr) {
        fwprintf(stderr, L"dlgprobe: no dialog \"%ls\"\n", pTitle);
    }
    return hDlg;
}

std::wstring ClassOf(HWND hWnd) {
    wchar_t cClass[64] = {};
    GetClassNameW(hWnd, cClass, 64);
    return cClass;
}

std::wstring TextOf(HWND hWnd) {
    wchar_t cText[512] = {};
    GetWindowTextW(hWnd, cText, 512);
    return cText;
}

std::wstring ItemText(HWND hWnd, bool bCombo, int i) {
    LRESULT cch = SendMessageW(hWnd, bCombo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i, 0);
    if (cch < 0) {
        return L"";
    }
    std::wstring text(cch + 1, L'\0');
    SendMessageW(hWnd, bCombo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

BOOL CALLBACK PrintControl(HWND hWnd, LPARAM) {
    std::wstring cls = ClassOf(hWnd);
    std::wstring line =
        std::to_wstring(GetDlgCtrlID(hWnd)) + L" " + cls + (IsWindowEnabled(hWnd) ? L" enabled" : L" disabled");
    if (cls == L"Button") {
        if (SendMessageW(hWnd, BM_GETCHECK, 0, 0) == BST_CHECKED) line += L" checked";
        line += L" \"" + TextOf(hWnd) + L"\"";
    } else if (cls == L"ComboBox") {
        LRESULT i = SendMessageW(hWnd, CB_GETCURSEL, 0, 0);
        line += i < 0 ? std::wstring(L" nothing") : L" sel=\"" + ItemText(hWnd, true, static_cast<int>(i)) + L"\"";
    } else if (cls == L"ListBox") {
        std::wstring lines, selected;
        LRESULT count = SendMessageW(hWnd, LB_GETCOUNT, 0, 0);
        for (int i = 0; i < count; i++) {
            lines += (i ? L"|" : L"") + ItemText(hWnd, false, i);
            if (SendMessageW(hWnd, LB_GETSEL, i, 0) > 0)
                selected += (selected.empty() ? L"" : L",") + std::to_wstring(i);
        }
        line += L" lines=\"" + lines + L"\" selected=\"" + selected + L"\"";
    } else {
        line += L" \"" + TextOf(hWnd) + L"\"";
    }
    Print(line);
    return TRUE;
}

int PrintState(const wchar_t *pTitle) {
    HWND hDlg = FindDialog(pTitle);
    if (hDlg == nullptr) {
        return 1;
    }
    EnumChildWindows(hDlg, PrintControl, 0);
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(hDlg, nullptr), &info) && info.hwndFocus != nullptr) {
        HWND hFocus = info.hwndFocus;
        // The edit or list inside a combo box stands for the combo box.
        while (hFocus != nullptr && GetParent(hFocus) != hDlg && hFocus != hDlg) {
            hFocus = GetParent(hFocus);
        }
        Print(L"focus " + std::to_wstring(hFocus != nullptr ? GetDlgCtrlID(hFocus) : 0));
    }
    return 0;
}

int PrintItems(const wchar_t *pTitle, int id) {
    HWND hDlg = FindDialog(pTitle);
    HWND hItem = hDlg != nullptr ? GetDlgItem(hDlg, id) : nullptr;
    if (hItem == nullptr) {
        return 1;
    }
    bool bCombo = ClassOf(hItem) == L"ComboBox";
    LRESULT count = SendMessageW(hItem, bCombo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; i++) {
        Print(ItemText(hItem, bCombo, i));
    }
    return 0;
}

int PrintWhere(const wchar_t *pTitle, int id, int line) {
    HWND hDlg = FindDialog(pTitle);
    HWND hItem = hDlg != nullptr ? GetDlgItem(hDlg, id) : nullptr;
    if (hItem == nullptr) {
        return 1;
    }
    RECT rect;
    GetWindowRect(hItem, &rect);
    POINT point = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    if (line >= 0) {
        LRESULT height = SendMessageW(hItem, LB_GETITEMHEIGHT, 0, 0);
        LRESULT top = SendMessageW(hItem, LB_GETTOPINDEX, 0, 0);
        POINT origin = {0, 0};
        ClientToScreen(hItem, &origin);
        point.x = origin.x + 12;
        point.y = origin.y + static_cast<LONG>((line - top) * height + height / 2);
    }
    wprintf(L"%ld %ld\n", point.x, point.y);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"template" && argc == 4) return PrintTemplate(argv[2], _wtoi(argv[3]));
    if (command == L"state" && argc == 3) return PrintState(argv[2]);
    if (command == L"items" && argc == 4) return PrintItems(argv[2], _wtoi(argv[3]));
    if (command == L"where" && (argc == 4 || argc == 5)) {
        return PrintWhere(argv[2], _wtoi(argv[3]), argc == 5 ? _wtoi(argv[4]) : -1);
    }
    fwprintf(stderr, L"usage: dlgprobe template DLL ID | state TITLE | items TITLE ID | where TITLE ID [LINE]\n");
    return 2;
}
