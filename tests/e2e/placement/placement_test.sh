#!/usr/bin/env bash
# Under openbox on a 1280 x 1024 Xvfb screen: the login and help windows' outer rectangles (frame
# included, as the window manager reports it) are centred in the work area, and the session
# window restored from maximised has the screen's outer size.
set -euo pipefail
probe=$1
source "$(dirname "$0")/../lib.sh"

start_xvfb 1280x1024x24
export HOME=$E2E_TMP XDG_CONFIG_HOME=$E2E_TMP/config QT_QPA_PLATFORM=xcb
cd "$E2E_TMP"
openbox --sm-disable >"$E2E_TMP/openbox.log" 2>&1 &
openbox_pid=$!
E2E_PIDS+=($openbox_pid)
# openbox names itself on the root window before it has published the work area: wait for both.
for i in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' &&
    xprop -root _NET_WORKAREA 2>/dev/null | grep -q '= ' && break
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || fail "openbox did not start"
xprop -root _NET_WORKAREA | grep -q '= ' || fail "openbox published no work area"

read -r wx wy ww wh < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | cut -d' ' -f1-4)

# Prints "x y width height" of window $1's outer rectangle, once the window manager has framed it.
outer() {
  local id=$1 extents i
  for i in $(seq 100); do
    extents=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | grep -o '= .*' | tr -d '=,') || true
    [ -n "$extents" ] && break
    sleep 0.1
  done
  [ -n "$extents" ] || fail "window $id has no frame"
  local l r t b
  read -r l r t b <<<"$extents"
  local info x y w h
  info=$(xwininfo -id "$id")
  x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  w=$(sed -n 's/.*Width: *//p' <<<"$info")
  h=$(sed -n 's/.*Height: *//p' <<<"$info")
  echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}

# Window $1 named $2: its outer rectangle's centre is the work area's, to the pixel that an odd
# difference leaves.
expect_centred() {
  local id=$1 name=$2 x y w h dx dy
  sleep 0.5  # whatever the program does after mapping has been done
  read -r x y w h < <(outer "$id")
  dx=$(((2 * x + w) - (2 * wx + ww)))
  dy=$(((2 * y + h) - (2 * wy + wh)))
  echo "$name: outer $x,$y ${w}x$h in work area $wx,$wy ${ww}x$wh"
  [ "${dx#-}" -le 1 ] && [ "${dy#-}" -le 1 ] || fail "$name is not centred: outer $x,$y ${w}x$h"
}

run_probe() {
  "$probe" "$1" >"$E2E_TMP/probe-$1.log" 2>&1 &
  probe_pid=$!
  E2E_PIDS+=($probe_pid)
}
end_probe() {
  kill "$probe_pid" 2>/dev/null || true
  wait "$probe_pid" 2>/dev/null || true
}

run_probe login
expect_centred "$(wait_for_window "Login Zentra Computing")" "login window"
end_probe

# How many of the windows the window manager lists are not left out of taskbars.
taskbar_entries() {
  local w entries=0
  for w in $(xprop -root _NET_CLIENT_LIST | grep -o '0x[0-9a-f]*'); do
    xprop -id "$w" _NET_WM_STATE 2>/dev/null | grep -q SKIP_TASKBAR || entries=$((entries + 1))
  done
  echo "$entries"
}
# Waits up to 5 s for one taskbar entry: a window the window manager is still taking on or
# letting go has no states yet, so the count is taken again until it settles.
wait_one_entry() {
  local i
  for i in $(seq 50); do
    [ "$(taskbar_entries)" -eq 1 ] && return 0
    sleep 0.1
  done
  return 1
}
listed() {
  xprop -root _NET_CLIENT_LIST | grep -o '0x[0-9a-f]*' | wc -l
}
list_windows() {
  local w
  for w in $(xprop -root _NET_CLIENT_LIST | grep -o '0x[0-9a-f]*'); do
    echo "  listed: $(xprop -id "$w" _NET_WM_NAME _NET_WM_STATE | tr '\n' ' ')"
  done
}

# A connection notice hidden and shown again at once, as the next notice replaces one, stays out
# of the taskbar even when the window manager sees it withdrawn only after it is mapped again
# (the window manager then clears the states of the window it lets go): openbox is held still
# while the probe does both.
run_probe alert
wait_for_window "Login Zentra Computing" >/dev/null
for i in $(seq 100); do
  [ "$(listed)" -ge 2 ] && break
  sleep 0.1
done
[ "$(listed)" -ge 2 ] || fail "the notice was not shown"
wait_one_entry || fail "the notice has a taskbar entry"
kill -STOP "$openbox_pid"
touch "$E2E_TMP/again"
for i in $(seq 100); do
  [ -e "$E2E_TMP/again" ] || break
  sleep 0.05
done
sleep 0.3
kill -CONT "$openbox_pid"
[ ! -e "$E2E_TMP/again" ] || fail "the probe did not show the notice again"
if ! wait_one_entry; then
  list_windows
  fail "the notice shown again has a taskbar entry"
fi
echo "notice shown again: $(taskbar_entries) taskbar entry of $(listed) windows"
end_probe

# Whether window $1 is iconic (WM_STATE 3) as its window manager says.
iconic() {
  xprop -id "$1" WM_STATE 2>/dev/null | grep -q 'window state: Iconic'
}
# Waits up to 10 s for "iconic $1" to be $2 (0 or 1).
wait_iconic() {
  local i
  for i in $(seq 100); do
    if iconic "$1"; then [ "$2" = 1 ] && return 0; else [ "$2" = 0 ] && return 0; fi
    sleep 0.1
  done
  return 1
}

# One taskbar entry: of the windows the window manager lists, only the main window is not left
# out of taskbars; the help window names it as its owner and is minimised and restored with it.
check_taskbar() {
  local help=$1 session
  session=$(xdotool search --onlyvisible --name "^Zentra Computing - Quorvel\$" | head -1)
  [ -n "$session" ] || fail "no session window under the help window"
  local transient state entries w
  transient=$(xprop -id "$help" WM_TRANSIENT_FOR | grep -o '0x[0-9a-f]*') || true
  state=$(xprop -id "$help" _NET_WM_STATE)
  echo "help window: WM_TRANSIENT_FOR $transient; $state"
  [ "$((transient))" -eq "$((session))" ] || fail "the help window's owner is $transient, not $session"
  grep -q _NET_WM_STATE_SKIP_TASKBAR <<<"$state" || fail "the help window has a taskbar entry"
  # The pop-up comes and goes while the session's connection is refused.
  wait_one_entry || true
  entries=$(taskbar_entries)
  list_windows
  echo "session window: $(xprop -id "$session" _NET_WM_ICON_NAME WM_CLASS | tr '\n' ' ')"
  echo "taskbar entries: $entries of $(xprop -root _NET_CLIENT_LIST | grep -o '0x' | wc -l) windows"
  [ "$entries" -eq 1 ] || fail "$entries taskbar entries"
  xprop -id "$session" _NET_WM_ICON_NAME | grep -q '"placement_probe"' ||
    fail "the taskbar entry is not labelled with the application title"

  xdotool windowminimize "$session"
  wait_iconic "$session" 1 || fail "the session window was not minimised"
  wait_iconic "$help" 1 || fail "the help window stayed up with the session window minimised"
  echo "minimised: session and help window iconic"
  wmctrl -i -a "$session"
  wait_iconic "$session" 0 || fail "the session window was not restored"
  wait_iconic "$help" 0 || fail "the help window was not restored with the session window"
  echo "restored: session and help window back"
}

for help in "printing:Ajuda para impressão" "transfer:Ajuda para transferência de arquivos"; do
  run_probe "${help%%:*}"
  help_window=$(wait_for_window "${help#*:}")
  expect_centred "$help_window" "${help#*:}"
  [ "${help%%:*}" = printing ] && check_taskbar "$help_window"
  end_probe
done

run_probe session
session=$(wait_for_window "Zentra Computing - Quorvel")
for i in $(seq 100); do
  xprop -id "$session" _NET_WM_STATE | grep -q MAXIMIZED_HORZ && break
  sleep 0.1
done
xprop -id "$session" _NET_WM_STATE | grep -q MAXIMIZED_HORZ || fail "the session window is not maximised"
wmctrl -i -r "$session" -b remove,maximized_vert,maximized_horz
for i in $(seq 100); do
  xprop -id "$session" _NET_WM_STATE | grep -q MAXIMIZED || break
  sleep 0.1
done
sleep 0.5
read -r x y w h < <(outer "$session")
echo "restored session window: outer $x,$y ${w}x$h"
[ "$w" -eq 1280 ] && [ "$h" -eq 1024 ] || fail "restored session window's outer size is ${w}x$h"
end_probe
echo "window placement under openbox: ok"
