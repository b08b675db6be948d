#!/usr/bin/env bash
# The shipped program on a real X display: only the login window appears, and closing it ends the
# program with exit code 0.
set -euo pipefail
zentra=$1
WM_CLOSE=$2
source "$(dirname "$0")/../lib.sh"

start_xvfb
export HOME=$E2E_TMP XDG_CONFIG_HOME=$E2E_TMP/config QT_QPA_PLATFORM=xcb
cd "$E2E_TMP"
"$zentra" >"$E2E_TMP/out.log" 2>&1 &
pid=$!
E2E_PIDS+=($pid)

login=$(wait_for_window "Login Zentra Computing")
visible=$(xdotool search --onlyvisible --name '.' 2>/dev/null | wc -l)
[ "$visible" -eq 1 ] || fail "expected only the login window visible, found $visible windows"
[ "$(xdotool getwindowname "$login")" = "Login Zentra Computing" ] || fail "caption"

close_until_exit "$pid" "$login" 30
[ "$E2E_EXIT" -eq 0 ] || { cat "$E2E_TMP/out.log"; fail "exit code $E2E_EXIT, expected 0"; }
echo "login window closed: exit code 0"
