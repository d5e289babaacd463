# Counted checks of the scripts that check what CTest does not run
# (scripts/windows.sh, scripts/installer.sh), sourced by them:
#   pass TEXT / fail TEXT   prints the check's line and counts it
#   checks_end NAME         prints "NAME: N passed, N failed"; false when one failed
passed=0
failed=0
pass() {
    echo "  ok: $*"
    passed=$((passed + 1))
}
fail() {
    echo "  FAILED: $*"
    failed=$((failed + 1))
}
checks_end() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
