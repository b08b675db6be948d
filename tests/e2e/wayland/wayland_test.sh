#!/usr/bin/env bash
# The shipped program on a GNOME desktop on Wayland, as a new user gets it: GNOME's compositor
# (mutter, nested on an Xvfb whose keyboard and mouse xdotool drives) with XWayland, qt6-wayland
# installed, WAYLAND_DISPLAY and XDG_SESSION_TYPE=wayland set, no platform chosen; a Brazilian
# keyboard; xrdp as the server, which logs the keyboard layout each client announces.
#   - the program runs on XWayland; signed in, the session opens; the "Conectando" pop-up is at
#     the bottom-right; a help window stays above the session window when the session window is
#     clicked;
#   - the layout switched to Brazilian after the program started and before signing in is the one
#     announced (0x00010416), and ç typed on the ABNT2 keyboard arrives as ç in the session;
#   - signed in again with a US layout, 0x00000409 is announced and the same key types ";";
#   - without XWayland (no DISPLAY) the program still starts, on Wayland, with the compositor's
#     Brazilian keymap.
#   wayland_test.sh ZENTRA LOOKUP_SERVICE WM_CLOSE NETNS_RUN TEST_CA_DIR PROVIDER_CA LOGIN_HOST
#                   LOGIN2_HOST WEB_HOST
# Exits 77 (skipped) where it cannot run: not root (xrdp), or xrdp, mutter, XWayland or Qt's
# Wayland platform not installed (scripts/install-deps installs them), or a build that does not
# trust the test authority.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zentra=$1
lookup_service=$2
wm_close=$3
netns_run=$4
test_ca=$5
provider_ca=$6
login_hosts=("$7" "$8" "$9")
rdp_host="rdp1.${7#*.}"
readonly kSkip=77
readonly kQtWaylandPlugin=/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so

source "$here/../lib.sh"

if e2e_outside ZENTRA_WAYLAND_TEST_NETNS; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: xrdp's sesman switches users: run as root"; exit $kSkip; }
  for tool in xrdp Xvnc mutter Xwayland dbus-daemon setxkbmap; do
    command -v $tool >/dev/null ||
      { echo "SKIP: $tool not installed (scripts/install-deps)"; exit $kSkip; }
  done
  [ -f "$kQtWaylandPlugin" ] || { echo "SKIP: qt6-wayland not installed (scripts/install-deps)"; exit $kSkip; }
  [ "$provider_ca" = "$test_ca/ca.pem" ] ||
    { echo "SKIP: this build does not trust the test authority (configure with -DZENTRA_TEST_CA=ON)"; exit $kSkip; }
  # Everything, the compositor included, in one private network, mount and process namespace.
  e2e_run_inside ZENTRA_WAYLAND_TEST_NETNS "$netns_run" --hosts "127.0.0.1 ${login_hosts[*]}" \
    --hosts "127.0.0.2 $rdp_host" -- "$0" "$@"
fi

# This namespace's /tmp is its own: mutter gives XWayland the first display number whose lock
# file it finds free or stale, and takes a lock of a server in another process namespace for
# stale (its process is not visible from here); the servers of other runs must not see ours
# either.
# What this test runs may itself live under /tmp (a clone there, its build): those folders come
# back into the new /tmp through a handle on the old one. lib.sh's folder moves into the new one.
rmdir "$E2E_TMP"
exec {old_tmp}</tmp
mount -t tmpfs -o mode=1777 tmpfs /tmp
for path in "$here" "$zentra" "$lookup_service" "$wm_close" "$netns_run" "$test_ca" "$provider_ca" \
  "$PWD"; do
  path=$(realpath -m "$path")
  case $path in /tmp/?*) ;; *) continue ;; esac
  top=$(cut -d/ -f1-3 <<<"$path")
  mountpoint -q "$top" && continue
  if [ -d "/proc/self/fd/$old_tmp/${top#/tmp/}" ]; then mkdir -p "$top"; else touch "$top"; fi
  # Not canonicalised: the name would lead into the new, empty /tmp.
  mount --no-canonicalize --bind "/proc/self/fd/$old_tmp/${top#/tmp/}" "$top"
done
exec {old_tmp}<&-
E2E_TMP=$(mktemp -d)
source "$here/../../support/xrdp-server.sh"
e2e_report_failed_line
source "$here/../client.sh"
readonly kUser=zentra
readonly kPassword=Xrdp-teste-7
readonly kWaylandName=zentra-wayland
readonly kAlertW=329 kAlertH=76
# Centre of "Ajuda para transferir arquivos" in the session window's toolbar.
readonly kTransferHelpX=380
readonly kTransferHelpCaption="Ajuda para transferência de arquivos"
server=$E2E_TMP/xrdp
e2e_report_at_exit wayland xrdp_stop "$E2E_TMP/zentra.log" "$E2E_TMP/mutter.log" \
  "$server/xrdp.log" "$server/sesman.log"


log "mutter --nested --wayland on its own Xvfb, with XWayland"
start_xvfb 1280x1024x24
HOST_DISPLAY=$DISPLAY
E2E_SCREEN=$HOST_DISPLAY
# The desktop starts with a US keyboard: the person switches to Brazilian later.
setxkbmap -display "$HOST_DISPLAY" us
host() { DISPLAY=$HOST_DISPLAY "$@"; }
runtime=$E2E_TMP/runtime
mkdir -m 700 "$runtime"
setpriv --pdeathsig TERM dbus-daemon --session --nofork --address="unix:path=$E2E_TMP/bus" \
  >"$E2E_TMP/dbus.log" 2>&1 &
E2E_PIDS+=($!)
cat >"$E2E_TMP/desktop.sh" <<SH
#!/bin/sh
# Started by mutter once XWayland is up: hands its display on, and keeps the compositor running.
printf '%s\n%s\n' "\$DISPLAY" "\$XAUTHORITY" >"$E2E_TMP/xwayland.tmp"
mv "$E2E_TMP/xwayland.tmp" "$E2E_TMP/xwayland"
exec sleep infinity
SH
chmod +x "$E2E_TMP/desktop.sh"
for _ in $(seq 50); do [ -S "$E2E_TMP/bus" ] && break; sleep 0.1; done
DISPLAY=$HOST_DISPLAY XDG_RUNTIME_DIR=$runtime DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_TMP/bus" \
  GSETTINGS_BACKEND=memory MUTTER_DEBUG_DUMMY_MODE_SPECS=1280x1024 \
  setpriv --pdeathsig TERM mutter --nested --wayland --wayland-display=$kWaylandName \
  -- "$E2E_TMP/desktop.sh" >"$E2E_TMP/mutter.log" 2>&1 &
E2E_PIDS+=($!)
for _ in $(seq 300); do [ -s "$E2E_TMP/xwayland" ] && break; sleep 0.1; done
[ -s "$E2E_TMP/xwayland" ] || fail "mutter started no XWayland"
{ read -r xwayland_display; read -r xwayland_auth; } <"$E2E_TMP/xwayland"
# What a GNOME session on Wayland gives its programs.
export DISPLAY=$xwayland_display XAUTHORITY=$xwayland_auth WAYLAND_DISPLAY=$kWaylandName \
  XDG_RUNTIME_DIR=$runtime XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME \
  DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_TMP/bus"
unset QT_QPA_PLATFORM
log "XWayland is $DISPLAY, the compositor's socket $WAYLAND_DISPLAY"

log "xrdp on $rdp_host:$kRdpPort with a certificate of the test authority"
"$here/../../support/test-ca" issue "$test_ca" "$rdp_host" "$E2E_TMP/certificate"
xrdp_start "$server" 127.0.0.2 $kRdpPort $kUser $kPassword \
  "$E2E_TMP/certificate/cert.pem" "$E2E_TMP/certificate/key.pem"
"$lookup_service" 127.0.0.1 52 "$rdp_host;$kRdpPort" "$E2E_TMP/lookup.log" \
  >"$E2E_TMP/lookup.out" 2>&1 &
E2E_PIDS+=($!)
for _ in $(seq 100); do xrdp_listening 52 && break; sleep 0.1; done

mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config
export QT_LOGGING_RULES="zentra.shell.info=true;zentra.rdp.info=true" WLOG_LEVEL=WARN
cd "$E2E_TMP"

# Where window $1's client area is on the screen: sets X Y WIDTH HEIGHT. xdotool's own answer
# counts the compositor's frame in twice.
client_rect() {
  local info
  info=$(xwininfo -id "$1")
  X=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  Y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  WIDTH=$(sed -n 's/.*Width: *//p' <<<"$info")
  HEIGHT=$(sed -n 's/.*Height: *//p' <<<"$info")
}
main_geometry() {
  local id
  id=$(xdotool search --onlyvisible --name "^${kMainCaption}\$" 2>/dev/null | head -1) || true
  [ -n "$id" ] || fail "the session window is not on the screen"
  client_rect "$id"
  WX=$X WY=$Y WW=$WIDTH WH=$HEIGHT MAIN_ID=$id
}

# Signs in through the compositor's keyboard and mouse (xdotool on the Xvfb it runs on).
sign_in_on_desktop() {
  local login
  login=$(wait_for_window "$kLoginCaption" $kLong)
  client_rect "$login"
  # The compositor reads its keyboard and mouse as events of its window on the Xvfb: each step
  # is given time to arrive before the next one depends on it.
  host xdotool mousemove $((X + 420)) $((Y + 100)) sleep 0.3 click 1 sleep 0.5
  host xdotool type --delay 80 "$kUser"
  host xdotool mousemove $((X + 420)) $((Y + 164)) sleep 0.3 click 1 sleep 0.5
  host xdotool type --delay 80 "$kPassword"
  sleep 0.3
  host xdotool key Return
}

session_started() { [ -n "$(xrdp_session_display)" ]; }
last_line_is() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge 2 ] && [ "$(tail -1 "$1")" = "$2" ]; }

# The keyboard layout xrdp was told by the latest client.
announced_layout() {
  grep -o 'keylayout:\[0x[0-9A-Fa-f]*\]' "$server/xrdp.log" | tail -1 | grep -o '0x[0-9A-Fa-f]*'
}
announced_since() { [ "$(grep -c 'keylayout:' "$server/xrdp.log")" -gt "$1" ]; }

# Presses the key right of L (ç on ABNT2, ";" on a US keyboard: keysym $1) in a terminal in the
# session and checks that the terminal received $2.
type_key_of_cedilla() {
  local keysym=$1 want=$2 typed=$server/home/$kUser/typed-$RANDOM.txt
  xrdp_session_launch "$server/session.log" env LANG=C.UTF-8 xterm -u8 -geometry 80x20+0+0 \
    -e sh -c "cat > '$typed'"
  xrdp_session_run timeout $kLong xdotool search --sync --onlyvisible --class xterm >/dev/null ||
    fail "the terminal did not appear in the session"
  desktop_origin
  host xdotool mousemove $((DX + 100)) $((DY + 60)) click 1
  sleep 0.5
  # The Xvfb's keyboard has the compositor's layout: the key that types $keysym there is the key
  # right of L, and the compositor's keymap says what it types.
  # Xvnc gives a character its keyboard lacks a key code of its own when it first comes, and the
  # terminal reads that first press with the old mapping: the line typed second is the one checked.
  host xdotool key "$keysym" sleep 0.3 key Return sleep 0.5 key "$keysym" sleep 0.3 key Return
  eventually 20 last_line_is "$typed" "$want" ||
    fail "the terminal in the session got '$(tail -1 "$typed" 2>/dev/null)', not '$want'"
  echo "typed on the key right of L: $(tail -1 "$typed")"
}

log "the program starts on XWayland although Qt's Wayland platform is there"
start_client
login=$(wait_for_window "$kLoginCaption" $kLong)
eventually 10 grep -q 'zentra.shell: platform "xcb"' zentra.log ||
  fail "the program did not say it runs on xcb: $(grep -m1 'platform' zentra.log)"

log "the person switches to the Brazilian layout, then signs in"
host setxkbmap br
layouts_before=$(grep -c 'keylayout:' "$server/xrdp.log" 2>/dev/null || true)
sign_in_on_desktop
wait_for_alert Conectando
read -r wx wy ww wh < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g' | cut -d' ' -f1-4)
echo "pop-up at $ALERT_X,$ALERT_Y in work area $wx,$wy ${ww}x$wh"
[ "$ALERT_X" -eq $((wx + ww - kAlertW)) ] && [ "$ALERT_Y" -eq $((wy + wh - kAlertH)) ] ||
  fail "the pop-up is at $ALERT_X,$ALERT_Y, not at the bottom-right"
wait_for_window "$kMainCaption" $kLong >/dev/null
eventually $kLong session_started || fail "xrdp started no session for $kUser"
eventually $kLong no_alert || fail "the pop-up stayed up after signing in"
[ "$(established)" -eq 1 ] || fail "no RDP connection to xrdp"
eventually 10 announced_since "$layouts_before" || fail "xrdp logged no keyboard layout"
echo "xrdp: $(grep 'keylayout:' "$server/xrdp.log" | tail -1 | sed 's/.*xrdp_load_keyboard_layout: //')"
[ "$(announced_layout)" = 0x00010416 ] || fail "announced $(announced_layout), not 0x00010416"
grep 'keyboard layout' zentra.log | tail -1
type_key_of_cedilla ccedilla "ç"

log "a help window stays above the session window when the session window is clicked"
main_geometry
session_id=$MAIN_ID
host xdotool mousemove $((WX + kTransferHelpX)) $((WY + 11)) click 1
help_id=$(wait_for_window "$kTransferHelpCaption" $kLong)
sleep 1
host xdotool mousemove $((WX + 40)) $((WY + WH - 40)) click 1
sleep 1
stacking=$(xprop -root _NET_CLIENT_LIST_STACKING | grep -o '0x[0-9a-f]*' | tr '\n' ' ')
index_of() {
  local i=0 w
  for w in $stacking; do
    [ "$((w))" -eq "$(($1))" ] && { echo $i; return; }
    i=$((i + 1))
  done
  echo -1
}
echo "stacking (bottom to top): $stacking; session $(printf 0x%x "$session_id"), help $(printf 0x%x "$help_id")"
[ "$(index_of "$help_id")" -gt "$(index_of "$session_id")" ] ||
  fail "the help window went under the session window"
xdotool search --onlyvisible --name "^${kTransferHelpCaption}\$" >/dev/null ||
  fail "the help window is gone"
echo "help window: $(xprop -id "$help_id" WM_TRANSIENT_FOR _NET_WM_STATE | tr '\n' ' ')"
"$wm_close" "$help_id"
eventually 10 bash -c "! xdotool search --onlyvisible --name '^${kTransferHelpCaption}\$' >/dev/null" ||
  fail "the help window did not close"
close_client

log "signed in again with a US layout: 0x00000409 is announced"
host setxkbmap us
layouts_before=$(grep -c 'keylayout:' "$server/xrdp.log")
start_client
sign_in_on_desktop
wait_for_window "$kMainCaption" $kLong >/dev/null
eventually $kLong session_started || fail "xrdp started no session for $kUser"
eventually $kLong no_alert || fail "the pop-up stayed up after signing in"
eventually 10 announced_since "$layouts_before" || fail "xrdp logged no keyboard layout"
echo "xrdp: $(grep 'keylayout:' "$server/xrdp.log" | tail -1 | sed 's/.*xrdp_load_keyboard_layout: //')"
[ "$(announced_layout)" = 0x00000409 ] || fail "announced $(announced_layout), not 0x00000409"
type_key_of_cedilla semicolon ";"
close_client

log "without XWayland the program still starts, on Wayland, and reads the compositor's keymap"
host setxkbmap br
QT_LOGGING_RULES="$QT_LOGGING_RULES;zentra.systemkeyboard.info=true" \
  env -u DISPLAY -u XAUTHORITY "$zentra" >"$E2E_TMP/zentra-wayland.log" 2>&1 &
native=$!
E2E_PIDS+=($native)
eventually 20 grep -q 'zentra.shell: platform "wayland"' "$E2E_TMP/zentra-wayland.log" ||
  fail "the program did not start on Wayland: $(cat "$E2E_TMP/zentra-wayland.log")"
eventually 20 grep -q 'keymap from the Wayland compositor: "Portuguese (Brazil)"' \
  "$E2E_TMP/zentra-wayland.log" ||
  fail "the program on Wayland did not read the Brazilian keymap: $(cat "$E2E_TMP/zentra-wayland.log")"
grep 'keymap from the Wayland compositor' "$E2E_TMP/zentra-wayland.log"
sleep 2
kill -0 "$native" 2>/dev/null || fail "the program on Wayland ended: $(cat "$E2E_TMP/zentra-wayland.log")"
end_process "$native"

grep -q 'ERROR: AddressSanitizer\|runtime error:' "$E2E_TMP/zentra.log" &&
  { cat "$E2E_TMP/zentra.log"; fail "sanitizer report"; }
echo "wayland test passed"

