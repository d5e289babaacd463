#!/usr/bin/env bash
# The installer helper library, setupaid.dll, checked where such a library
# runs on Linux: inside a real Windows Installer package under Wine.
#   scripts/installer.sh     (after scripts/windows.sh, which builds build-win32/ and build-win64/)
# 1. Each build's DLL with objdump: the nine exports by their plain names;
#    imports from kernel32, user32, advapi32 and msi only, msi's property
#    query by ordinal 74 (HTML Help is not imported: it is loaded when
#    asked for); the dialog 1084 and the string table in its resources; the
#    dialog's controls, ids, captions and font read from the resource with
#    dlgprobe and compared with tests/setup/bulwark-dialog.txt.
# 2. For each flavour Wine runs here (32-bit needs wine32): the product's
#    package is built with wixl from setup/tesserin.wxs and installed with
#    Wine's msiexec in a fresh Wine prefix, silently (/qn) and with its
#    interface on an Xvfb display, where xdotool answers the message boxes
#    and drives the settings dialog; dlgprobe reads the dialog's state,
#    `wine reg` the registry; screenshots of the dialog and the messages are
#    kept in build-winNN/installer/screenshots/. Every Wine run is bounded in
#    time.
# Ends with "installer: N passed, N failed".
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
source "$top/scripts/wine-env.sh"
# shellcheck source=scripts/checks.sh
source "$top/scripts/checks.sh"

exports_expected="AddNullPipes BulwarkDlg CheckOldTesserinInstalled CreateBulwarkRegistry DeleteControlFiles \
DeleteTempRegFiles RegisterVRMS RemoveNullPipes RestoreOldSettings"
product_key='HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn Systems\TesserinNT4'
server_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\LanManServer\Parameters'
dialog='Tesserin Bulwark'
question='Tesserin Installation'
# Exit codes come back from Wine cut to eight bits: 1603 is 67.
install_failure=$((1603 % 256))

# ------------------------------------------------------------- PE checks
check_dll() {
    local dll=$1 format=$2 dump exports imports msi_imports resources
    dump=$(objdump -p "$dll")
    grep -q "file format $format\$" <<<"$dump" || { fail "$dll: not $format"; return; }
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^\t\[/ {print $NF} t && /^$/ {t = 0}' \
        <<<"$dump" | sort | tr '\n' ' ')
    [ "$exports" = "$exports_expected " ] || { fail "$dll: exports $exports"; return; }
    imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u | tr '\n' ' ')
    [ "$imports" = "advapi32.dll kernel32.dll msi.dll user32.dll " ] || { fail "$dll: imports from $imports"; return; }
    # msi.dll: one entry, by ordinal (the thunk's top bit, the ordinal below).
    msi_imports=$(awk '/DLL Name:/ {dll = tolower($3); next} dll == "msi.dll" && /^\t[0-9a-f]+\t/ {print $1}' <<<"$dump")
    [ "$(wc -w <<<"$msi_imports")" -eq 1 ] && [ "${#msi_imports}" -ge 8 ] &&
        [ $((16#${msi_imports:0:1} & 8)) -ne 0 ] && [ $((16#${msi_imports: -4})) -eq 74 ] ||
        { fail "$dll: msi.dll imports \"$msi_imports\", not ordinal 74 alone"; return; }
    # Resource types (level 1) with their names (level 2): 5 DIALOG, 6 STRING.
    resources=$(awk '/Resource Directory section/ {r = 1} r && /Entry: ID:/ {
            match($0, / +Entry/); level = RLENGTH; id = $4; sub(/,$/, "", id)
            if (level == 8) type = id; else if (level == 10) print type "/" id }' <<<"$dump" | tr '\n' ' ')
    [[ " $resources" == *" 0x000005/0x00043c "* ]] || { fail "$dll: no dialog 1084 in the resources ($resources)"; return; }
    [[ " $resources" == *" 0x000006/"* ]] || { fail "$dll: no string table in the resources"; return; }
    pass "$dll: $format, exports the nine actions undecorated, imports from kernel32, user32, advapi32" \
        "and msi.dll (ordinal 74) only, resources hold dialog 1084 and the string table"
}

# The dialog resource as dlgprobe reads it (under wine64: a data file of
# either flavour), against the controls it must have.
check_dialog_resource() {
    local dll=$1 listing
    if ! listing=$(wine_run 60 "$probe" template "$(winpath "$dll")" 1084 2>&1 | tr -d '\r'); then
        fail "$dll: dlgprobe cannot read dialog 1084: $listing"
    elif diff <(sort "$top/tests/setup/bulwark-dialog.txt") <(sort <<<"$listing") >"$work/dialog.diff"; then
        pass "$dll: dialog 1084 has every control, id, caption and the font it must have ($(wc -l <<<"$listing") lines)"
    else
        fail "$dll: dialog 1084 differs from tests/setup/bulwark-dialog.txt:"$'\n'"$(head -20 "$work/dialog.diff")"
    fi
}

# ----------------------------------------------------------- Wine helpers
winpath() { echo "Z:${1//\//\\}"; }

reg_cmd() { wine_run 60 reg "$@" 2>/dev/null | tr -d '\r'; }

# The values under KEY and its subkeys, one "SUBKEY|NAME|TYPE|DATA" line
# each (SUBKEY relative to KEY), and "SUBKEY|" for a key without values;
# sorted; nothing when KEY is missing.
reg_dump() {
    reg_cmd query "$1" /s | awk -v root="$1" '
        function flush() { if (pending) print key "|"; pending = 0 }
        /^HKEY_/ { flush(); key = length($0) > length(root) ? substr($0, length(root) + 2) : ""; pending = 1; next }
        /^    / {
            line = substr($0, 5); i = index(line, "    ")
            name = substr(line, 1, i - 1); rest = substr(line, i + 4); j = index(rest, "    ")
            if (j) { type = substr(rest, 1, j - 1); data = substr(rest, j + 4) } else { type = rest; data = "" }
            print key "|" name "|" type "|" data
            pending = 0
        }
        END { flush() }' | sort || true
}

# Compares reg_dump KEY, less the lines matching the grep pattern SKIP, with
# the expected lines on stdin.
expect_registry() {
    local what=$1 key=$2 skip=${3:-^$} expected actual
    expected=$(sort)
    actual=$(reg_dump "$key" | grep -v -e "$skip" || true)
    if [ "$actual" = "$expected" ]; then
        pass "$what"
    else
        fail "$what:"$'\n'"$(diff <(echo "$expected") <(echo "$actual") | head -30)"
    fi
}

# A REG_MULTI_SZ of the arguments, for reg_import.
multi_sz() {
    printf '%s\0' "$@" "" | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,/hex(7):/; s/,$//'
}

# Imports registry lines (REGEDIT4, after its header) with `reg import`.
# Imports the registry text on stdin. A failing import once stopped the
# script without a word (set -e) in a run whose checks all passed when run
# again: one more try, then a failure that says so (the script stops).
reg_import() {
    { echo REGEDIT4; echo; cat; } >"$work/import.reg"
    local try status
    for try in 1 2; do
        status=0
        wine_run 60 reg import "$(winpath "$work/import.reg")" >/dev/null 2>"$work/import.err" || status=$?
        [ "$status" -eq 0 ] && return 0
    done
    fail "reg import ended with $status twice: $(tr -d '\r' <"$work/import.err" | head -c 300) (file: $work/import.reg)"
    return 1
}

# Runs msiexec with ARGS and a log, bounded in time; the exit code in $msi_status.
msiexec_run() {
    local log=$1
    shift
    msi_status=0
    wine_run 180 msiexec "$@" /l*v "$(winpath "$log")" >>"$work/msiexec.out" 2>&1 || msi_status=$?
}

expect_status() {
    local what=$1 want=$2
    if [ "$msi_status" -eq "$want" ]; then
        pass "$what"
    else
        fail "$what: msiexec ended with $msi_status, not $want"
        return 1
    fi
}

# An interactive msiexec in the background (stderr to $work/ui.err, with
# HTML Help's trace and the registry's notes); ui_end waits for it, bounded.
ui_start() {
    : >"$work/ui.err"
    WINEDEBUG=${UI_DEBUG:--all,trace+htmlhelp,fixme+reg} wine_run 300 msiexec /i "$(winpath "$pkg")" \
        /l*v "$(winpath "$work/$1.log")" >/dev/null 2>"$work/ui.err" &
    ui_pid=$!
}

ui_end() {
    local i
    for ((i = 0; i < 120; i++)); do
        kill -0 "$ui_pid" 2>/dev/null || break
        sleep 0.5
    done
    if kill -0 "$ui_pid" 2>/dev/null; then
        kill "$ui_pid" 2>/dev/null || true
        wine_stop
    fi
    msi_status=0
    wait "$ui_pid" || msi_status=$?
}

# The X window of the top-level window titled $1, waited for (bounded);
# "" when it does not come.
window_of() {
    local i id
    for ((i = 0; i < 120; i++)); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
        if [ -n "$id" ] && wine_run 30 "$probe" state "$1" >/dev/null 2>&1; then
            echo "$id"
            return
        fi
        kill -0 "$ui_pid" 2>/dev/null || return 0
        sleep 0.25
    done
}

window_gone() {
    local i
    for ((i = 0; i < 60; i++)); do
        [ -z "$(xdotool search --name "^$1\$" 2>/dev/null || true)" ] && return 0
        sleep 0.25
    done
    return 1
}

state() { wine_run 30 "$probe" state "${1:-$dialog}" 2>/dev/null | tr -d '\r'; }

# Clicks control ID of window TITLE (line LINE of a list box; COUNT times
# in a row: 2 for a double-click), as a user would.
click() {
    local title=$1 id=$2 xy
    xy=$(wine_run 30 "$probe" where "$title" "$id" ${3:+"$3"} | tr -d '\r')
    # shellcheck disable=SC2086
    xdotool mousemove $xy click --repeat "${4:-1}" --delay 80 1
    sleep 0.3
}

keys() {
    xdotool key --delay 60 "$@"
    sleep 0.3
}

# Selects entry INDEX of the list that the mnemonic ALT-KEY leads to, from
# the keyboard. Home twice: on a list without a selection, Wine's first Home
# goes back to the entry selected last.
choose() {
    local -a downs=()
    for ((n = 0; n < $2; n++)); do downs+=(Down); done
    keys "$1" Home Home "${downs[@]}"
}

screenshot() {
    import -window "$1" "$shots/$2.png" 2>/dev/null || fail "screenshot $2 could not be taken"
}

# The lines that the state of window TITLE must all have (whole lines).
expect_state() {
    local title=$1 what=$2 current missing=""
    shift 2
    current=$(state "$title")
    for line in "$@"; do
        grep -q -F -x -- "$line" <<<"$current" || missing+=$'\n'"    $line"
    done
    if [ -z "$missing" ]; then
        pass "$what"
    else
        fail "$what; missing:$missing"$'\n'"  state:"$'\n'"$current"
    fi
}

# ------------------------------------------------------- machine states

# Back to a machine without the product: the package removed when it is
# installed, the keys the tests and the actions write deleted, the saved
# settings gone from TEMP, and the server's pipes and the paging files as
# every case starts them.
reset_machine() {
    if reg_cmd query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" >/dev/null; then
        msiexec_run "$work/reset.log" /x "$product_code" /qn
    fi
    rm -f "$temp"/{tesserin.ctl,usersettings.reg,autosettings.reg,bulwarksettings.reg}
    rm -rf "$prefix/drive_c/Old Tesserin" "$prefix/drive_c/setupaid-test/snapshot"
    reg_import <<EOF
[-$product_key]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tesserin]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5E1D2A40-3C6B-4F7E-9A21-7D0C4B8E1F36}]
[-HKEY_CLASSES_ROOT\\CLSID\\{80EE4901-33A8-11d1-A213-0080C88593A5}]
[-HKEY_CLASSES_ROOT\\CLSID\\{80EE4902-33A8-11d1-A213-0080C88593A5}]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\SetupAidTest]
[$server_key]
"NullSessionPipes"=$(multi_sz COMNAP 'SQL\QUERY' SPOOLSS)
[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management]
"PagingFiles"=$(multi_sz 'C:\pagefile.sys 64 128')
EOF
}

# An earlier installation in "C:\Old Tesserin" with its control file, its
# three settings subkeys, and an uninstaller (olduninst.exe) that snapshots
# TEMP and removes it.
old_installation() {
    mkdir -p "$prefix/drive_c/Old Tesserin"
    printf 'earlier control file\r\n' >"$prefix/drive_c/Old Tesserin/tesserin.ctl"
    reg_import <<EOF
[$product_key]
"Build"="2.1.0"
"PathName"="C:\\\\Old Tesserin"
[$product_key\\UserSettings]
"LastDrive"="D:"
"LogLevel"=dword:00000002
[$product_key\\AutoBootTime]
"EnableAutoBootTime"=dword:00000001
"AutoStartTime"=" 5:00 am"
[$product_key\\Bulwark]
"EnableFgMft"=dword:00000002
[$product_key\\Bulwark\\MftDrives\\D:]
"FgMftEnabled"=dword:00000001
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tesserin]
"UninstallString"="C:\\\\setupaid-test\\\\olduninst.exe C:\\\\setupaid-test\\\\snapshot"
EOF
}

# Settings stored by an earlier run of the dialog: mode 2 with drives C:
# (on), D: and E: (off), automatic boot-time on.
stored_settings() {
    reg_import <<EOF
[$product_key\\Bulwark]
"EnableFgMft"=dword:00000002
"EnableFgPage"=dword:00000000
[$product_key\\Bulwark\\MftDrives\\C:]
"FgMftEnabled"=dword:00000001
[$product_key\\Bulwark\\MftDrives\\D:]
"FgMftEnabled"=dword:00000000
[$product_key\\Bulwark\\MftDrives\\E:]
"FgMftEnabled"=dword:00000000
[$product_key\\AutoBootTime]
"EnableAutoBootTime"=dword:00000001
"AutoStartTime"=" 4:00 am"
"AutoEndTime"=" 6:00 am"
"AutoDaysOk"="weekdays"
"EnableNotification"=dword:00000000
"EnableConfirmation"=dword:00000001
"AutoBootTimeMftRequested"=dword:00000001
"AutoBootTimePageRequested"=dword:00000000
"MftMinFragCount"=dword:00000005
"PfMinFragCount"=dword:0000000c
EOF
}

# stored_settings as reg_dump shows them, with START for the start time.
stored_settings_dump() {
    settings_lines 0x2 0x0 0x1 "${1:- 4:00 am}" " 6:00 am" weekdays 0x0 0x1 0x1 0x0 0x5 0xc <<'EOF'
Bulwark\MftDrives\C:|FgMftEnabled|REG_DWORD|0x1
Bulwark\MftDrives\D:|FgMftEnabled|REG_DWORD|0x0
Bulwark\MftDrives\E:|FgMftEnabled|REG_DWORD|0x0
Bulwark\MftDrives|
EOF
}

# The settings' registry lines (as reg_dump shows them) for the values
#   EnableFgMft EnableFgPage EnableAutoBootTime AutoStartTime AutoEndTime
#   AutoDaysOk EnableNotification EnableConfirmation AutoBootTimeMftRequested
#   AutoBootTimePageRequested MftMinFragCount PfMinFragCount
# (numbers as 0x..), then any further lines given on stdin.
settings_lines() {
    local names=(EnableAutoBootTime AutoStartTime AutoEndTime AutoDaysOk EnableNotification EnableConfirmation
        AutoBootTimeMftRequested AutoBootTimePageRequested MftMinFragCount PfMinFragCount) values=("${@:3}") i
    echo "Bulwark|EnableFgMft|REG_DWORD|$1"
    echo "Bulwark|EnableFgPage|REG_DWORD|$2"
    for i in "${!names[@]}"; do
        case ${names[$i]} in
        Auto*Time | AutoDaysOk) echo "AutoBootTime|${names[$i]}|REG_SZ|${values[$i]}" ;;
        *) echo "AutoBootTime|${names[$i]}|REG_DWORD|${values[$i]}" ;;
        esac
    done
    cat
}

pipes_value() {
    reg_cmd query "$server_key" /v NullSessionPipes | awk '$1 == "NullSessionPipes" {print $3}'
}

expect_pipes() {
    local what=$1 want=$2 have
    have=$(pipes_value)
    [ "$have" = "$want" ] && pass "$what: $have" || fail "$what: NullSessionPipes \"$have\", not \"$want\""
}

# ----------------------------------------------------------------- cases

# Silent installation with no settings file, on a machine whose registry
# names drives C: and Q: (no such drive) under MftDrives and C: and D: (no
# paging file) under PfDrives; then a repair and the removal.
case_silent_defaults() {
    echo " silent installation, no settings file; repair; removal"
    reset_machine
    reg_import <<EOF
[$product_key\\Bulwark\\MftDrives\\C:]
[$product_key\\Bulwark\\MftDrives\\Q:]
[$product_key\\Bulwark\\PfDrives\\C:]
[$product_key\\Bulwark\\PfDrives\\D:]
EOF
    msiexec_run "$work/silent.log" /i "$(winpath "$pkg")" /qn
    expect_status "silent installation succeeds" 0 || return 0
    expect_registry "the defaults stored, with their types; only the local NTFS drive C: kept in MftDrives and the drive with the paging file in PfDrives" \
        "$product_key" '^|\(Build\|PathName\)|' < <(settings_lines 0x1 0x1 0x0 " 1:00 am" " 3:00 am" everyday \
        0x1 0x0 0x0 0x0 0x3 0xa <<'EOF'
Bulwark\MftDrives\C:|FgMftEnabled|REG_DWORD|0x0
Bulwark\MftDrives|
Bulwark\PfDrives\C:|
Bulwark\PfDrives|
EOF
    )
    reg_dump "$product_key" | grep -q -F -x '|PathName|REG_SZ|C:\Program Files\Tesserin\' &&
        [ -f "$install_dir/readme.txt" ] &&
        pass "the package installed its folder and the product key (Build, PathName)" ||
        fail "the product folder or key is missing: $(reg_dump "$product_key" | grep '^|')"
    expect_pipes "AddNullPipes appended the three pipes after the other entries" \
        'COMNAP\0SQL\QUERY\0SPOOLSS\0TesserinGuiPipe\0TesserinControlPipe\0TesserinSchedPipe'
    local engine clsid program fs
    for engine in "{80EE4901-33A8-11d1-A213-0080C88593A5} tsrntfs.exe NTFS" \
        "{80EE4902-33A8-11d1-A213-0080C88593A5} tsrfat.exe FAT"; do
        read -r clsid program fs <<<"$engine"
        expect_registry "RegisterVRMS: the $fs engine server's class key" "HKEY_CLASSES_ROOT\\CLSID\\$clsid" <<EOF
LocalServer32|(Default)|REG_SZ|$program
|(Default)|REG_SZ|Defrag $fs engine
|AppID|REG_SZ|$clsid
EOF
    done
    expect_registry "RegisterVRMS: regsvr32 registered both libraries of the system folder" \
        'HKEY_LOCAL_MACHINE\SOFTWARE\SetupAidTest' <<'EOF'
Registered|tsrdfsnp.dll|REG_SZ|C:\windows\system32\tsrdfsnp.dll
Registered|tsrdfui.dll|REG_SZ|C:\windows\system32\tsrdfui.dll
EOF

    # A repair: Wine's msiexec has no /f, the REINSTALL property does the same.
    msiexec_run "$work/repair.log" /i "$(winpath "$pkg")" REINSTALL=ALL REINSTALLMODE=vomus /qn
    expect_status "repair succeeds" 0 || return 0
    expect_pipes "AddNullPipes a second time: the names appended again" \
        'COMNAP\0SQL\QUERY\0SPOOLSS\0TesserinGuiPipe\0TesserinControlPipe\0TesserinSchedPipe\0TesserinGuiPipe\0TesserinControlPipe\0TesserinSchedPipe'

    for f in tesserin.ctl exclude.ctl excall.ctl; do echo control >"$install_dir/$f"; done
    msiexec_run "$work/remove.log" /x "$(winpath "$pkg")" /qn
    expect_status "removal succeeds" 0 || return 0
    expect_pipes "RemoveNullPipes once: one copy of each pipe left, the other entries untouched" \
        'COMNAP\0SQL\QUERY\0SPOOLSS\0TesserinGuiPipe\0TesserinControlPipe\0TesserinSchedPipe'
    [ ! -e "$install_dir" ] && ! reg_dump "$product_key" | grep -q '^|Build|' &&
        pass "DeleteControlFiles: the control files deleted, so the product folder went with the product" ||
        fail "after the removal: $(ls "$install_dir" 2>&1 | tr '\n' ' ') $(reg_dump "$product_key" | grep '^|')"
}

# Silent installation with Bulwark.ess beside the package.
case_settings_file() {
    echo " silent installation with Bulwark.ess"
    reset_machine
    mkdir -p "$work/ess"
    cp "$pkg" "$work/ess/tesserin.msi"
    cat >"$work/ess/Bulwark.ess" <<'EOF'
[Bulwark_Settings-0]
PagingFileBulwark=disable
MFTBulwark=Disable
AutomaticBootTime=Weekly
Notification=no
AllowRestart_When=weekends
AllowRestart_Between=" 4:00 am"
AllowRestart_And=11:00 pm
MFTFragments=7
PagingFileFragments=
EOF
    msiexec_run "$work/ess.log" /i "$(winpath "$work/ess/tesserin.msi")" /qn
    expect_status "silent installation with Bulwark.ess succeeds" 0 || return 0
    expect_registry "Bulwark.ess: AutomaticBootTime \"Weekly\" turns automatic boot-time on; the other keys as given, an empty one at its default" \
        "$product_key" '^|\|^Bulwark\\' < <(settings_lines 0x0 0x0 0x1 " 4:00 am" "11:00 pm" weekends \
        0x0 0x0 0x0 0x0 0x7 0xa </dev/null)
}

# Saved settings of an earlier installation in TEMP: BulwarkDlg stores nothing.
case_saved_settings() {
    echo " silent installation with bulwarksettings.reg in TEMP"
    reset_machine
    echo saved >"$temp/bulwarksettings.reg"
    msiexec_run "$work/saved.log" /i "$(winpath "$pkg")" /qn
    expect_status "silent installation succeeds" 0 || return 0
    expect_registry "bulwarksettings.reg in TEMP: BulwarkDlg stored nothing" "$product_key" '^|' </dev/null
    [ ! -e "$temp/bulwarksettings.reg" ] && pass "DeleteTempRegFiles deleted the saved-settings file" ||
        fail "bulwarksettings.reg is still in TEMP"
}

# An earlier installation, silent: the installation fails and leaves nothing.
case_silent_over_earlier() {
    echo " silent installation over an earlier one"
    reset_machine
    old_installation
    msiexec_run "$work/silent-old.log" /i "$(winpath "$pkg")" /qn
    expect_status "silent installation over an earlier one fails with 1603" "$install_failure" || return 0
    [ ! -e "$install_dir" ] && [ ! -e "$prefix/drive_c/setupaid-test/snapshot" ] &&
        ! reg_cmd query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" >/dev/null &&
        reg_dump "$product_key" | grep -q -F -x '|Build|REG_SZ|2.1.0' &&
        pass "rolled back: no product folder, the package not registered, the earlier installation untouched (its uninstaller not run)" ||
        fail "after the failed installation: $(ls "$install_dir" 2>&1) $(reg_dump "$product_key" | grep '^|')"
}

# An earlier installation, interactive: both questions answered Yes.
case_upgrade() {
    echo " installation over an earlier one, with its interface"
    reset_machine
    old_installation
    local before window text n=0
    before=$(reg_dump "$product_key" | grep -E '^(UserSettings|AutoBootTime|Bulwark)')
    ui_start upgrade
    for text in "Tesserin is currently installed. Do you wish to remove it?" "Do you wish to save your old settings?"; do
        window=$(window_of "$question")
        if [ -z "$window" ]; then
            fail "no question \"$text\""
            break
        fi
        expect_state "$question" "asked: $text" "65535 Static enabled \"$text\""
        sleep 0.2
        n=$((n + 1))
        screenshot "$window" "question-$n"
        click "$question" 6 # IDYES
        window_gone "$question" || true
    done
    ui_end
    expect_status "CheckOldTesserinInstalled: the questions answered Yes, the uninstaller run and waited for, the installation goes on" 0 || return 0
    local snapshot="$prefix/drive_c/setupaid-test/snapshot" f ok=1
    cmp -s "$snapshot/tesserin.ctl" "$prefix/drive_c/Old Tesserin/tesserin.ctl" || ok=0
    for f in usersettings autosettings bulwarksettings; do [ -s "$snapshot/$f.reg" ] || ok=0; done
    grep -a -q LastDrive "$snapshot/usersettings.reg" && grep -a -q AutoStartTime "$snapshot/autosettings.reg" &&
        grep -a -q FgMftEnabled "$snapshot/bulwarksettings.reg" || ok=0
    [ "$ok" = 1 ] &&
        pass "saved to TEMP before the uninstaller ran: tesserin.ctl and the three subkeys (RegSaveKeyW: $(head -c 24 "$snapshot/usersettings.reg" | tr -c '[:print:]' .))" ||
        fail "what the uninstaller found in TEMP: $(ls -l "$snapshot" 2>&1 | tr '\n' ' ')"
    cmp -s "$install_dir/tesserin.ctl" "$prefix/drive_c/Old Tesserin/tesserin.ctl" &&
        pass "RestoreOldSettings copied tesserin.ctl into the new product folder" ||
        fail "RestoreOldSettings: no tesserin.ctl in $install_dir"
    local after
    after=$(reg_dump "$product_key" | grep -E '^(UserSettings|AutoBootTime|Bulwark)' || true)
    if [ "$after" = "$before" ]; then
        pass "RestoreOldSettings restored the three subkeys with RegRestoreKeyW, every value as it was"
    elif [ "$after" = $'AutoBootTime|\nBulwark|\nUserSettings|' ] &&
        [ "$(grep -c 'fixme:reg:RegRestoreKeyW .*settings\.reg.*stub' "$work/ui.err")" = 3 ]; then
        pass "RestoreOldSettings restored the three subkeys with RegRestoreKeyW; Wine's is a stub that restores no value (it says so), so they stay empty"
    else
        fail "the subkeys after RestoreOldSettings:"$'\n'"$(diff <(echo "$before") <(echo "$after") | head -20)"
    fi
    [ -z "$(ls "$temp"/*.reg 2>/dev/null)" ] && pass "DeleteTempRegFiles deleted the three hive files" ||
        fail "left in TEMP: $(ls "$temp"/*.reg)"
}

# The settings dialog over stored settings: its lists, mode 2's volume
# list, "Never", "all day", Help, and Cancel.
case_dialog() {
    echo " the settings dialog: lists, volumes, Never, all day, Help, Cancel"
    reset_machine
    stored_settings
    ui_start dialog
    local window
    window=$(window_of "$dialog")
    if [ -z "$window" ]; then
        fail "the dialog did not open"
        ui_end
        return
    fi
    screenshot "$window" dialog-opened
    expect_state "$dialog" "opened with the stored settings selected" \
        '1131 Button enabled checked "Disabl&e"' '1134 Button enabled checked "Enable &individually on each volume:"' \
        '1135 ListBox enabled lines="C:\tEnabled|D:\t|E:\t" selected=""' '1129 Button enabled checked "Onl&y:"' \
        '1117 ComboBox enabled sel="5"' '1118 ComboBox enabled sel="12"' '1153 Button enabled "&Notification"' \
        '1154 Button enabled checked "Con&firmation"' '1136 ComboBox enabled sel="weekdays"' \
        '1137 ComboBox enabled sel=" 4:00 am"' '1138 ComboBox enabled sel=" 6:00 am"'
    local hours days counts
    hours=$(printf '12:00 midnight\n'; for h in 1 2 3 4 5 6 7 8 9 10 11; do printf '%2d:00 am\n' $h; done
        printf '12:00 noon\n'; for h in 1 2 3 4 5 6 7 8 9 10 11; do printf '%2d:00 pm\n' $h; done)
    days=$(for d in everyday weekends weekdays Monday Tuesday Wednesday Thursday Friday Saturday Sunday; do echo "$d"; done)
    days=$(printf '%s\n' "$days" "$(sed 's/^/except /' <<<"$days")")
    counts=$(seq 2 32)
    local id want ok=1
    for id in 1117 1118 1136 1137 1138; do
        case $id in
        1117 | 1118) want=$counts ;;
        1136) want=$days ;;
        1137) want=$(printf 'all day\n%s' "$hours") ;;
        1138) want=$hours ;;
        esac
        [ "$(wine_run 30 "$probe" items "$dialog" $id | tr -d '\r')" = "$want" ] || { ok=0; fail "the entries of list $id"; }
    done
    [ "$ok" = 1 ] && pass "the lists: fragments 2 to 32, the 20 day entries, \"all day\" and the 24 hours (leading blank below 10)"

    click "$dialog" 1135 1
    click "$dialog" 1135 2
    click "$dialog" 1004
    expect_state "$dialog" "mode 2: Set switches the selected drives on" '1135 ListBox enabled lines="C:\tEnabled|D:\tEnabled|E:\tEnabled" selected="1,2"'
    click "$dialog" 1135 1
    click "$dialog" 1135 2
    click "$dialog" 1135 0
    click "$dialog" 1005
    expect_state "$dialog" "mode 2: Clear switches the selected drive off" '1135 ListBox enabled lines="C:\t|D:\tEnabled|E:\tEnabled" selected="0"'
    click "$dialog" 1135 1 2
    expect_state "$dialog" "mode 2: a double-click toggles the line" '1135 ListBox enabled lines="C:\t|D:\t|E:\tEnabled" selected="0,1"'
    click "$dialog" 1133
    expect_state "$dialog" "mode 1: the volume list and its buttons disabled" '1135 ListBox disabled lines="C:\t|D:\t|E:\tEnabled" selected="0,1"' \
        '1004 Button disabled "Se&t"' '1005 Button disabled "Clea&r"'
    click "$dialog" 1134

    click "$dialog" 1128
    screenshot "$window" dialog-never
    expect_state "$dialog" "\"Never\": the fragment lists and labels, the notification and confirmation buttons, the restart lists disabled" \
        '1142 Static disabled "When &MFT exceeds"' '1117 ComboBox disabled sel="5"' '1143 Static disabled "fragments"' \
        '1145 Static disabled "When &paging file exceeds"' '1118 ComboBox disabled sel="12"' '1144 Static disabled "fragments"' \
        '1153 Button disabled "&Notification"' '1154 Button disabled checked "Con&firmation"' \
        '1136 ComboBox disabled sel="weekdays"' '1137 ComboBox disabled sel=" 4:00 am"' '1138 ComboBox disabled sel=" 6:00 am"' \
        '1135 ListBox enabled lines="C:\t|D:\t|E:\tEnabled" selected="0,1"' '1002 Button enabled "&OK"'
    click "$dialog" 1129
    choose alt+w 0
    screenshot "$window" dialog-allday
    expect_state "$dialog" "\"all day\": the end list and its label disabled, the end cleared" \
        '1137 ComboBox enabled sel="all day"' '1138 ComboBox disabled nothing' '1031 Static disabled "an&d"' \
        '1117 ComboBox enabled sel="5"'

    click "$dialog" 1125
    local i
    for ((i = 0; i < 20; i++)); do
        grep -q 'HtmlHelpW' "$work/ui.err" && break
        sleep 0.25
    done
    grep -q 'HtmlHelpW (.*, L"tesserin.chm::/Bulwark_Dialog_Box.htm", command=HH_DISPLAY_TOPIC' "$work/ui.err" &&
        pass "Help asks HTML Help for tesserin.chm::/Bulwark_Dialog_Box.htm" ||
        fail "Help: HTML Help was asked for $(grep -o 'HtmlHelpW.*' "$work/ui.err" | head -1)"
    click "$dialog" 2
    ui_end
    expect_status "Cancel closes the dialog, the installation goes on" 0 || return 0
    expect_registry "Cancel stored nothing" "$product_key" '^|' < <(stored_settings_dump)
}

# The dialog's OK: no end time, then the same start and end.
case_dialog_ok() {
    echo " the settings dialog: OK without an end time, OK with the same start and end"
    reset_machine
    stored_settings
    ui_start dialog-ok
    local window box
    window=$(window_of "$dialog")
    if [ -z "$window" ]; then
        fail "the dialog did not open"
        ui_end
        return
    fi
    # Start " 4:00 am" with the end cleared (by "all day" first).
    choose alt+w 0
    choose alt+w 5
    expect_state "$dialog" "a start time with no end" '1137 ComboBox enabled sel=" 4:00 am"' '1138 ComboBox enabled nothing'
    click "$dialog" 1002
    box=$(window_of Tesserin)
    if [ -n "$box" ]; then
        screenshot "$box" message-no-end
        [ "$(state Tesserin | grep -c -F '"No ending time specified.\nYou must specifiy an ending time for the schedule to take effect."')" = 1 ] &&
            pass "OK with no end time shows \"No ending time specified...\"" || fail "the message: $(state Tesserin)"
        click Tesserin 1 # IDOK
        window_gone Tesserin || true
        expect_state "$dialog" "the dialog stays open with the focus on the end list" '1137 ComboBox enabled sel=" 4:00 am"' 'focus 1138'
    else
        fail "OK with no end time showed no message"
    fi
    # Start and end " 2:00 am".
    choose alt+w 3
    choose alt+d 2
    expect_state "$dialog" "start and end \" 2:00 am\"" '1137 ComboBox enabled sel=" 2:00 am"' '1138 ComboBox enabled sel=" 2:00 am"'
    screenshot "$window" dialog-same-time
    click "$dialog" 1002
    box=$(window_of Tesserin)
    if [ -n "$box" ]; then
        screenshot "$box" message-same-time
        [ "$(state Tesserin | grep -c -F '"You have selected the same Starting and Ending time for the schedule.  Tesserin will change the time to "All day""')" = 1 ] &&
            pass "OK with the same start and end shows the warning" || fail "the warning: $(state Tesserin)"
        click Tesserin 1
    else
        fail "OK with the same start and end showed no warning"
    fi
    ui_end
    expect_status "after the warning the dialog closes, accepted" 0 || return 0
    expect_registry "stored: start \"all day\", everything else as the dialog showed it" "$product_key" '^|' \
        < <(stored_settings_dump "all day")
}

# --------------------------------------------------------------- flavours
run_flavour() {
    local dir=$1 arch=$2 wixl_arch=$3
    work="$top/$dir/installer"
    prefix="$work/wine-prefix"
    shots="$work/screenshots"
    probe=$(winpath "$top/$dir/bin/dlgprobe.exe")
    rm -rf "$work"
    mkdir -p "$work" "$shots"
    pkg="$work/tesserin.msi"
    if ! (cd "$top" && wixl -a "$wixl_arch" -D Arch="$wixl_arch" -D SetupAid="$dir/bin/setupaid.dll" -D Files=setup \
        -o "$pkg" setup/tesserin.wxs) >"$work/wixl.log" 2>&1; then
        fail "$dir: wixl could not build the package: $(tail -5 "$work/wixl.log")"
        return
    fi
    product_code=$(msiinfo export "$pkg" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}')
    pass "$dir: the package built with wixl ($(stat -c %s "$pkg") bytes, product $product_code)"
    if ! wine_prefix "$prefix" "$arch"; then
        fail "$dir: no Wine prefix"
        return
    fi
    export DISPLAY=$xdisplay
    # Wine draws the windows' frames itself (there is no window manager).
    reg_cmd add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
    install_dir="$prefix/drive_c/Program Files/Tesserin"
    [ "$arch" = win32 ] && [ -d "$prefix/drive_c/Program Files (x86)" ] && install_dir="$prefix/drive_c/Program Files (x86)/Tesserin"
    temp=$(wine_run 60 cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
    temp="$prefix/drive_c/$(sed 's/^[Cc]:\\//; s/\\/\//g' <<<"$temp")"
    mkdir -p "$temp" "$prefix/drive_c/setupaid-test"
    # Drives D: and E:, local like C: (for the dialog's volumes).
    for c in d e; do
        mkdir -p "$prefix/drive_$c"
        ln -sfn "../drive_$c" "$prefix/dosdevices/$c:"
    done
    cp "$top/$dir/bin/olduninst.exe" "$prefix/drive_c/setupaid-test/"
    cp "$top/$dir/bin/regstub.dll" "$prefix/drive_c/windows/system32/tsrdfui.dll"
    cp "$top/$dir/bin/regstub.dll" "$prefix/drive_c/windows/system32/tsrdfsnp.dll"
    ui_pid=
    local name
    for name in ${INSTALLER_CASES:-silent_defaults settings_file saved_settings silent_over_earlier upgrade dialog dialog_ok}; do
        "case_$name"
    done
    wine_stop
}

# ------------------------------------------------------------------ main
for b in build-win32 build-win64; do
    for f in setupaid.dll dlgprobe.exe olduninst.exe regstub.dll; do
        [ -f "$top/$b/bin/$f" ] || {
            echo "installer.sh: $b/bin/$f is missing: build the Windows programs first (scripts/windows.sh)" >&2
            exit 2
        }
    done
done

xdisplay=
xvfb_pid=
stop_display() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}
trap stop_display EXIT

echo "setupaid.dll:"
work=$(mktemp -d)
check_dll "$top/build-win32/bin/setupaid.dll" pei-i386
check_dll "$top/build-win64/bin/setupaid.dll" pei-x86-64
if wine_runs win64; then
    wine_prefix "$top/build-win64/wine-prefix" win64 >/dev/null || true
    probe=$(winpath "$top/build-win64/bin/dlgprobe.exe")
    check_dialog_resource "$top/build-win32/bin/setupaid.dll"
    check_dialog_resource "$top/build-win64/bin/setupaid.dll"
    wine_stop
fi
rm -rf "$work"

# One virtual display for every interactive run.
rm -f "$top/build-win64/xvfb.display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$top/build-win64/xvfb.display" >/dev/null 2>&1 &
xvfb_pid=$!
for ((i = 0; i < 40; i++)); do
    [ -s "$top/build-win64/xvfb.display" ] && break
    sleep 0.25
done
xdisplay=:$(head -1 "$top/build-win64/xvfb.display")
[ "$xdisplay" != ":" ] || { fail "Xvfb did not start"; checks_end installer; exit 1; }

for flavour in "build-win32 win32 x86" "build-win64 win64 x64"; do
    read -r dir arch wixl_arch <<<"$flavour"
    echo "$dir ($wixl_arch package):"
    if wine_runs "$arch"; then
        run_flavour "$dir" "$arch" "$wixl_arch"
    else
        echo "  (not run under Wine: this machine's Wine has no $arch loader)"
    fi
done
checks_end installer
