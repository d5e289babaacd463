#!/usr/bin/env bash
# The boot-time programs as Windows NT executables, checked as far as this
# machine allows:
#   scripts/windows.sh
# 1. builds them with mingw-w64 into build-win32/ (i686) and build-win64/
#    (x86-64) from the same sources as the Linux build;
# 2. checks each executable with objdump: file format, native subsystem,
#    subsystem and operating-system version 4.0, entry NtProcessStartup,
#    imports from ntdll.dll and nothing else; and that no object of the
#    programs holds static constructors;
# 3. runs them under Wine (each flavour Wine runs here; 32-bit programs need
#    wine32) as the Session Manager would: on a boot without trigger file each
#    program removes its own BootExecute entry and leaves the others (read back
#    with `wine reg query`); with the trigger file present, the boot screen
#    (NtDisplayString) for refused command lines (conflicting keywords, LEV=
#    with an invalid level, an unknown keyword) and for a run up to its volume
#    is compared with the Linux build's (build/bin, made first by test.sh).
# Ends with "windows: N passed, N failed".
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
source "$top/scripts/wine-env.sh"
# shellcheck source=scripts/checks.sh
source "$top/scripts/checks.sh"

# ---------------------------------------------------------------- builds
build_flavour() {
    local dir=$1 arch=$2
    mkdir -p "$top/$dir"
    if ! { cmake -S "$top" -B "$top/$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release && cmake --build "$top/$dir" -j"$(nproc)"; } >"$top/$dir/build.log" 2>&1; then
        tail -40 "$top/$dir/build.log"
        echo "windows.sh: the $arch build failed (log: $dir/build.log)" >&2
        exit 1
    fi
}

# ------------------------------------------------------------ PE checks
check_exe() {
    local exe=$1 format=$2 dump imports entry base symbol
    dump=$(objdump -p "$exe")
    local field
    field() { awk -v k="$1" '$1 == k {print $2; exit}' <<<"$dump"; }
    grep -q "file format $format\$" <<<"$dump" || { fail "$exe: not $format"; return; }
    [ "$(field Subsystem)" = 00000001 ] || { fail "$exe: subsystem $(field Subsystem), not native (1)"; return; }
    for k in MajorSubsystemVersion MajorOSystemVersion; do
        [ "$(field $k)" = 4 ] || { fail "$exe: $k $(field $k), not 4"; return; }
    done
    for k in MinorSubsystemVersion MinorOSystemVersion; do
        [ "$(field $k)" = 0 ] || { fail "$exe: $k $(field $k), not 0"; return; }
    done
    imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u | tr '\n' ' ')
    [ "$imports" = "ntdll.dll " ] || { fail "$exe: imports from ${imports:-nothing}, not only ntdll.dll"; return; }
    base=$(field ImageBase)
    entry=$(field AddressOfEntryPoint)
    symbol=$(nm "$exe" | awk '$3 == "NtProcessStartup" || $3 == "_NtProcessStartup" {print $1}' | head -1)
    [ -n "$symbol" ] && [ $((16#$symbol - 16#$base)) -eq $((16#$entry)) ] ||
        { fail "$exe: the entry point is not NtProcessStartup"; return; }
    # The imported functions, kept beside the executable.
    awk '/DLL Name:/ {dll = tolower($3); next} dll && /^\t[0-9a-f]+\t/ {print dll ": " $NF}' <<<"$dump" |
        sort >"${exe%.exe}.imports"
    pass "$exe: $format, native subsystem 4.0, OS 4.0, entry NtProcessStartup," \
        "$(wc -l <"${exe%.exe}.imports") functions from ntdll.dll only, $(stat -c %s "$exe") bytes"
}

# Static constructors would need a runtime to call them: no object of the
# programs may have any.
check_objects() {
    local dir=$1 found
    found=$(objdump -h "$top/$dir"/lib/*.a | awk '/file format/ {o=$1} $2 ~ /^\.(ctors|dtors|init_array|fini_array)/ {print o}')
    if [ -n "$found" ]; then
        fail "$dir: static constructors in ${found//$'\n'/ }"
    else
        pass "$dir: no static constructors"
    fi
}

# ---------------------------------------------------------- Wine runs
sm_key='HKLM\System\CurrentControlSet\Control\Session Manager'

# A query right after a program ended in a fresh prefix has once come back
# empty in CI (the value was there when read again): an empty answer is asked
# again a few times, so only a value that stays missing fails the check.
boot_execute() {
    local i value=
    for ((i = 0; i < 5; i++)); do
        value=$(wine_run 60 reg query "$sm_key" /v BootExecute 2>/dev/null | tr -d '\r' |
            awk '$1 == "BootExecute" {sub(/^[ \t]*BootExecute[ \t]+REG_MULTI_SZ[ \t]+/, ""); print}' || true)
        [ -n "$value" ] && break
        sleep 1
    done
    printf '%s\n' "$value"
}

# The Linux build's boot screen for a command line, on a machine whose drives
# C: to F: are host folders, each with the trigger file.
linux_screen() {
    local program=$1 line=$2 c
    for c in C D E F; do echo run >"$linux_machine.drives/$c/Defragme.dat"; done
    NT_MACHINE=$linux_machine NT_TIME_SCALE=0 NT_COMMAND_LINE=$line "$top/build/bin/$program" 2>/dev/null || true
}

# The program's boot screen under Wine: $1 program file in system32, the rest its arguments.
wine_screen() {
    local log=$1 exe=$2
    shift 2
    WINEDEBUG=$WINE_DISPLAY_DEBUG wine_run 120 "C:\\windows\\system32\\$exe" "$@" >/dev/null 2>"$log" || true
}

smoke_flavour() {
    local dir=$1 arch=$2 work prefix c
    work="$top/$dir/smoke"
    prefix="$top/$dir/wine-prefix"
    if ! wine_prefix "$prefix" "$arch"; then
        fail "$dir: no Wine prefix"
        return
    fi
    rm -rf "$work"
    mkdir -p "$work"
    cp "$top/$dir/bin/bootntfs.exe" "$prefix/drive_c/windows/system32/dozuzoro.exe"
    cp "$top/$dir/bin/bootfat.exe" "$prefix/drive_c/windows/system32/zirizud.exe"
    # Drives C: (the prefix's own) and D:, E:, F: (folders of the prefix).
    for c in d e f; do
        rm -rf "$prefix/drive_$c" "$prefix/dosdevices/$c:"
        mkdir -p "$prefix/drive_$c"
        ln -s "../drive_$c" "$prefix/dosdevices/$c:"
    done
    rm -f "$prefix/drive_c/Defragme.dat"

    # The boot without a run: each program takes its own entry out.
    if ! wine_run 60 reg add "$sm_key" /v BootExecute /t REG_MULTI_SZ /f \
        /d 'autocheck autochk *\0DOZUZORO C: FILES=FULL\0ZIRIZUD D: FILES=FULL' >/dev/null 2>&1; then
        fail "$dir: BootExecute cannot be set with wine reg add"
        return
    fi
    wine_run 120 'C:\windows\system32\dozuzoro.exe' C: FILES=FULL >/dev/null 2>&1 || true
    local after
    after=$(boot_execute)
    [ "$after" = 'autocheck autochk *\0ZIRIZUD D: FILES=FULL' ] &&
        pass "$dir: bootntfs without trigger file removed its BootExecute entry, kept the others" ||
        fail "$dir: BootExecute after bootntfs: \"$after\""
    wine_run 120 'C:\windows\system32\zirizud.exe' D: FILES=FULL >/dev/null 2>&1 || true
    after=$(boot_execute)
    [ "$after" = 'autocheck autochk *' ] &&
        pass "$dir: bootfat without trigger file removed its BootExecute entry, kept the other" ||
        fail "$dir: BootExecute after bootfat: \"$after\""

    # With the trigger file: refusals on C: (bootntfs) and D: (bootfat), which
    # leave it; runs on E: and F:, which take it.
    for c in c d e f; do echo run >"$prefix/drive_$c/Defragme.dat"; done
    # program | file in system32 | arguments | the last line the two screens
    # must share: all of it for a refusal, through the options report for a run
    local -a cases=(
        "bootntfs|dozuzoro.exe|C: DIRS=MFTZ DIRS=FREE|"
        "bootntfs|dozuzoro.exe|C: LEV=Z|"
        "bootntfs|dozuzoro.exe|C: FILES=FULL NOSUCH|"
        "bootntfs|dozuzoro.exe|E: FILES=NONE DIRS=NONE|Directory manipulation skipped..."
        "bootfat|zirizud.exe|D: FILES=FULL FILES=NONE|"
        "bootfat|zirizud.exe|D: LEV=Z|"
        "bootfat|zirizud.exe|D: FILES=FULL NOSUCH|"
        "bootfat|zirizud.exe|F: FILES=NONE DIRS=NONE|Directory consolidation skipped..."
    )
    local i entry program exe args through
    # Each waits 15 seconds before it returns: all at once.
    i=0
    for entry in "${cases[@]}"; do
        IFS='|' read -r program exe args through <<<"$entry"
        # shellcheck disable=SC2086
        wine_screen "$work/wine-$i.log" "$exe" $args &
        i=$((i + 1))
    done
    wait
    i=0
    for entry in "${cases[@]}"; do
        IFS='|' read -r program exe args through <<<"$entry"
        local name="$dir: $program $args"
        linux_screen "$program" "\"C:\\windows\\system32\\$exe\" $args" >"$work/linux-$i.txt"
        if ! wine_display "$work/wine-$i.log" >"$work/wine-$i.txt"; then
            fail "$name: the screen under Wine cannot be read ($work/wine-$i.log)"
        elif [ -z "$through" ]; then
            if cmp -s "$work/linux-$i.txt" "$work/wine-$i.txt"; then
                pass "$name: the same screen as on Linux ($(wc -l <"$work/linux-$i.txt") lines)"
            else
                fail "$name: the screens differ:"$'\n'"$(diff "$work/linux-$i.txt" "$work/wine-$i.txt" | head -20)"
            fi
        else
            local shared
            shared=$(cmp "$work/linux-$i.txt" "$work/wine-$i.txt" 2>/dev/null | awk 'NR == 1 {print $NF - 1}' || true)
            local upto
            upto=$(grep -n -F -x -- "$through" "$work/linux-$i.txt" | head -1 | cut -d: -f1)
            if cmp -s "$work/linux-$i.txt" "$work/wine-$i.txt"; then
                pass "$name: the same screen as on Linux ($(wc -l <"$work/linux-$i.txt") lines)"
            elif [ -n "$upto" ] && [ "${shared:-0}" -ge "$upto" ]; then
                pass "$name: the same screen as on Linux through line $upto, then the volumes differ"
            else
                fail "$name: the screens differ before the volume:"$'\n'"$(diff "$work/linux-$i.txt" "$work/wine-$i.txt" | head -20)"
            fi
        fi
        i=$((i + 1))
    done
    # The refusals left the trigger files; the runs took theirs.
    [ -f "$prefix/drive_c/Defragme.dat" ] && [ -f "$prefix/drive_d/Defragme.dat" ] &&
        [ ! -e "$prefix/drive_e/Defragme.dat" ] && [ ! -e "$prefix/drive_f/Defragme.dat" ] &&
        pass "$dir: the refused command lines left the trigger file, the runs deleted theirs" ||
        fail "$dir: trigger files after the runs: $(cd "$prefix" && ls drive_?/Defragme.dat 2>/dev/null | tr '\n' ' ')"
    wine_stop
}

# ------------------------------------------------------------------ main
[ -x "$top/build/bin/bootntfs" ] && [ -x "$top/build/bin/ntmachine" ] || {
    echo "windows.sh: build the Linux programs first (scripts/build.sh build)" >&2
    exit 2
}
linux_machine="$top/build/windows-smoke-machine"
rm -rf "$linux_machine" "$linux_machine.drives"
"$top/build/bin/ntmachine" create "$linux_machine" >/dev/null
for c in C D E F; do
    mkdir -p "$linux_machine.drives/$c"
    "$top/build/bin/ntmachine" attach "$linux_machine" "$c:" folder "$linux_machine.drives/$c" >/dev/null
done

for flavour in "build-win32 i686 pei-i386 win32" "build-win64 x86_64 pei-x86-64 win64"; do
    read -r dir arch format wine_arch <<<"$flavour"
    echo "$dir ($arch):"
    build_flavour "$dir" "$arch"
    check_exe "$top/$dir/bin/bootntfs.exe" "$format"
    check_exe "$top/$dir/bin/bootfat.exe" "$format"
    check_objects "$dir"
    if wine_runs "$wine_arch"; then
        smoke_flavour "$dir" "$wine_arch"
    else
        echo "  (not run under Wine: this machine's Wine has no $wine_arch loader)"
    fi
done
checks_end windows
