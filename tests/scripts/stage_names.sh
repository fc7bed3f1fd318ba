#!/usr/bin/env bash
# The stage names of scripts/test-windows (KESTRAN_WINDOWS_STAGES): a name that
# is no stage, or a list with no name, is an error that lists the valid names;
# the names given pick the stages of each script, in their order. Only the
# plan is asked for (--plan): nothing is built or run.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
failed=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failed=1; fi; }
plan() { out=$(KESTRAN_WINDOWS_STAGES="$1" scripts/test-windows --plan 2>"$err"); rc=$?; }
err=$(mktemp)
trap 'rm -f "$err"' EXIT

plan "windwo"
check "a misspelt stage: exit 2, named, the valid ones listed" \
    '[ $rc = 2 ] && [ -z "$out" ] && grep -q "no such stage: windwo;" "$err" && grep -q "suites.*window_150.*soak" "$err"'
plan "suites bogus tls"
check "one unknown name among known ones still fails" '[ $rc = 2 ] && grep -q "no such stage: bogus;" "$err"'
plan "   "
check "a list of blanks names no stage" '[ $rc = 2 ] && grep -q "no stage named" "$err"'
plan "soak demo ctl_com3 window"
check "each script runs the stages named, in its own order" \
    '[ $rc = 0 ] && [ "$out" = "test-windows: ctl_com3
test-windows-window: window demo
then: soak" ]'
out=$(env -u KESTRAN_WINDOWS_STAGES scripts/test-windows --plan); rc=$?
check "without a list, every stage" \
    '[ $rc = 0 ] && [ "$out" = "test-windows: suites ctl_com3 ctl_text ctl_ser2net ctl_vanish zip installer
test-windows-window: $(scripts/test-windows-window --list)
then: tls soak" ] && [ "$(scripts/test-windows-window --list)" = "window window_150 demo" ]'
exit "$failed"
