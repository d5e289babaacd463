# Wine for the project's Windows checks, sourced by the scripts that run
# Windows programs (scripts/windows.sh). Debian's wine runs 64-bit programs
# with wine64; 32-bit ones need wine32 (the i386 architecture), which a
# machine may lack: wine_runs tells.
#
#   wine_runs win32|win64     true when Wine here runs programs of that flavour
#   wine_prefix DIR win32|win64
#                             uses the Wine prefix DIR (WINEPREFIX, WINEARCH,
#                             WINE for the loader), creating it with wineboot
#                             when it is missing, bounded by WINE_BOOT_SECONDS
#                             (default 300); without Mono and Gecko (it needs
#                             no display: set DISPLAY after it for one)
#   wine_run SECONDS ARGS...  runs "$WINE ARGS..." bounded in time
#   wine_display LOG          the text a program gave NtDisplayString, from
#                             the stderr LOG of a run with WINEDEBUG=$WINE_DISPLAY_DEBUG
#   wine_stop                 ends the prefix's wineserver
#
# Wine writes NtDisplayString's text to its error channel, escaped and cut
# after about 300 characters per call: wine_display fails on a cut text.

WINE_LOADER_DIR=${WINE_LOADER_DIR:-/usr/lib/wine}
# Only Wine's own error lines for the display; nothing else of its debug output.
WINE_DISPLAY_DEBUG=-all,err+ntdll

wine_runs() {
    case "$1" in
    win64) [ -x "$WINE_LOADER_DIR/wine64" ] ;;
    win32) [ -x "$WINE_LOADER_DIR/wine" ] ;;
    *) return 1 ;;
    esac
}

wine_prefix() {
    local dir=$1 arch=$2
    export WINEPREFIX=$dir WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ "$arch" = win64 ]; then
        WINE=$WINE_LOADER_DIR/wine64
        WINESERVER=$WINE_LOADER_DIR/wineserver64
    else
        WINE=$WINE_LOADER_DIR/wine
        WINESERVER=$WINE_LOADER_DIR/wineserver32
    fi
    [ -x "$WINESERVER" ] || WINESERVER=$WINE_LOADER_DIR/wineserver
    export WINE WINESERVER
    if [ -f "$dir/system.reg" ]; then
        return 0
    fi
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    if ! timeout "${WINE_BOOT_SECONDS:-300}" "$WINE" wineboot --init >"$dir.boot.log" 2>&1 ||
        ! timeout 60 "$WINESERVER" --wait; then
        echo "wine: the prefix $dir could not be made in time; its log:" >&2
        tail -20 "$dir.boot.log" >&2
        return 1
    fi
    [ -f "$dir/system.reg" ]
}

wine_run() {
    local seconds=$1
    shift
    timeout "$seconds" "$WINE" "$@"
}

wine_display() {
    perl -e '
        binmode STDOUT, ":encoding(UTF-8)";
        my %esc = ("n" => "\n", "r" => "\r", "t" => "\t", "\"" => "\"", "\\" => "\\");
        while (<>) {
            s/\r?\n$//;
            next unless /^[0-9a-f]+:err:ntdll:NtDisplayString L"(.*)"(\.\.\.)?$/;
            my ($text, $cut) = ($1, $2);
            die "wine cut a displayed text after about 300 characters\n" if $cut;
            $text =~ s/\\([0-9a-f]{4}|.)/length($1) == 4 ? chr(hex($1)) : $esc{$1}/ge;
            print $text;
        }' "$1"
}

wine_stop() {
    "$WINESERVER" --kill 2>/dev/null || true
}
