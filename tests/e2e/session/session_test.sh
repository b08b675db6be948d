#!/usr/bin/env bash
# The shipped program used as a person uses it, on a real X display, in a private network whose
# /etc/hosts maps the build's provider names to loopback: the lookup service answers on port 52
# and a real RDP server (freerdp-shadow-cli, NLA) serves a display showing four coloured quarters,
# a terminal that writes what it is typed into a file, and a window that logs mouse buttons.
#   session_test.sh ZENTRA LOOKUP_SERVICE WM_CLOSE NETNS_RUN LOGIN_HOST LOGIN2_HOST WEB_HOST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zentra=$1
lookup_service=$2
wm_close=$3
netns_run=$4
rdp_host="rdp1.${5#*.}"
# The server's certificate: from the build's test authority (PROVIDER_CA_DIR), for its name.
export PROVIDER_RDP_NAME=$rdp_host
source "$here/../lib.sh"
source "$here/../provider.sh"
trap 'provider_stop; e2e_cleanup' EXIT
e2e_report_failed_line

# Outside the namespace: the X servers (the client's screen and the server's display) and the
# programs on the server's display; then the rest of this script inside the namespace.
if e2e_outside ZENTRA_SESSION_TEST_NETNS; then
  start_xvfb 1280x1024x24
  provider_init "$E2E_TMP/provider"
  provider_start_display
  provider_show_pattern
  provider_launch "$PROVIDER_DIR/xterm.log" xterm -geometry 60x10+0+0 \
    -e sh -c "cat > '$PROVIDER_DIR/typed.txt'"
  provider_launch "$PROVIDER_DIR/xev.log" sh -c \
    "exec xev -geometry 400x300+560+420 -event button > '$PROVIDER_DIR/buttons.log'"
  DISPLAY=$PROVIDER_DISPLAY timeout 60 xdotool search --sync --onlyvisible --class xterm >/dev/null
  DISPLAY=$PROVIDER_DISPLAY timeout 60 xdotool search --sync --onlyvisible --name 'Event Tester' \
    >/dev/null
  e2e_run_inside ZENTRA_SESSION_TEST_NETNS "$netns_run" --hosts "127.0.0.1 $5 $6 $7" \
    --hosts "127.0.0.2 $rdp_host" -- "$0" "$@"
fi
typed=$PROVIDER_DIR/typed.txt
buttons=$PROVIDER_DIR/buttons.log
source "$here/../client.sh"
# Screenshots of a failed run are kept beside the test's output.
e2e_report_at_exit session provider_stop "$E2E_TMP/zentra.log" "$PROVIDER_DIR/rdp.log"

# True when the window on the server logged a press of button $3 at root position $1,$2.
pressed_at() {
  tr '\n' ' ' <"$buttons" | sed 's/ButtonPress/\n&/g' | grep '^ButtonPress' |
    grep -q "root:($1,$2).*button $3"
}

log "provider: lookup on port 52, RDP server on $rdp_host:$kRdpPort"
provider_start_rdp 127.0.0.2 $kRdpPort
provider_start_lookup "$lookup_service" 127.0.0.1 "$rdp_host;$kRdpPort"

mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config QT_QPA_PLATFORM=xcb
cd "$E2E_TMP"

log "wrong password: Desconectado, Reconectar enabled, the program keeps running"
start_client
sign_in "$PROVIDER_USER" "not-$PROVIDER_PASSWORD"
wait_for_window "$kMainCaption" $kLong >/dev/null
wait_for_alert Desconectado
eventually 10 reconectar_enabled || fail "Reconectar not enabled after the failed attempt"
sleep 2
kill -0 "$CLIENT" 2>/dev/null || fail "the program ended after the failed attempt"
[ "$(established)" -eq 0 ] || fail "a session is up with the wrong password"
close_client

log "right password: Conectando, then the session showing the server's picture"
start_client
sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
wait_for_alert Conectando
wait_for_window "$kMainCaption" $kLong >/dev/null
# The notice fades out once the session is up.
eventually $kLong no_alert || fail "the Conectando notice stayed"
[ "$(established)" -eq 1 ] || fail "no RDP connection established"
wait_for_pattern
cp "$E2E_TMP/session.png" "$artifacts/session.png"
reconectar_enabled && fail "Reconectar enabled while connected"
[ "${INK[Desconectado]}" -gt "${INK[Conectando]}" ] ||
  fail "the two notices read alike (ink ${INK[Conectando]} and ${INK[Desconectado]} pixels wide)"

log "typing on the keyboard reaches the terminal on the server"
desktop_origin
xdotool mousemove $((DX + 100)) $((DY + 60)) click 1
xdotool type --delay 40 "zentra sessao 42"
xdotool key Return
eventually 20 file_is "$typed" "zentra sessao 42" || fail "typed file holds '$(cat "$typed")'"

log "a click lands at the intended remote coordinates"
xdotool mousemove $((DX + 700)) $((DY + 520)) click 1
eventually 20 pressed_at 700 520 1 || fail "no button 1 press at 700,520 on the server: $(grep -A3 ButtonPress "$buttons")"

log "Teclado Virtual: clicking keys types into the terminal on the server"
xdotool mousemove $((WX + kTecladoX)) $((WY + kToolbarY)) click 1
wait_for_pattern 1
desktop_origin 1
# Back over the terminal, so that the server's keyboard focus is there, then to the keys.
xdotool mousemove $((DX + 100)) $((DY + 60))
sleep 0.5
kb_top=$((WY + WH - kLabelHeight - kKeyboardHeight))
shot "$E2E_TMP/keyboard.png"
cp "$E2E_TMP/keyboard.png" "$artifacts/keyboard.png"
# A key's face is framed by black borders: along a line through a row below the labels, a key
# runs from one border to the next, and neighbours' borders stand a few pixels apart. Prints the
# middle of each key of row $1, left to right.
key_centres() {
  pixels "$E2E_TMP/keyboard.png" "${WW}x1+$WX+$((kb_top + $1 * kKeyRowHeight + 28))" |
    awk -v width="$WW" '
      $3 + $4 + $5 == 0 { if (n == 0 || $1 > prev + 1) runs[n++] = $1; prev = $1 }
      END {
        left = runs[0]
        for (j = 1; j < n; j++)
          if (runs[j] - runs[j - 1] <= 12 && runs[j - 1] != left) {
            printf "%d ", (left + runs[j - 1]) / 2; left = runs[j]
          }
        right = runs[n - 1] != left ? runs[n - 1] : width - 1
        printf "%d\n", (left + right) / 2
      }'
}
declare -A ROW
for r in 1 2 3; do ROW[$r]=$(key_centres $r); done
key_x() {
  local centres
  read -r -a centres <<<"${ROW[$1]}"
  echo $((WX + centres[$2]))
}
press_key() { xdotool mousemove "$(key_x "$1" "$2")" $((kb_top + $1 * kKeyRowHeight + 18)) click 1; }
# Shift, t, e, l, a, Enter: row 3 starts with Shift; t and e are keys 5 and 3 of row 1 (after
# Tab); a and l are keys 1 and 9 of row 2 (after Caps); Enter ends row 2.
read -r -a row2 <<<"${ROW[2]}"
[ ${#row2[@]} -ge 12 ] || fail "found ${#row2[@]} keys in the keyboard's third row"
press_key 3 0
press_key 1 5
press_key 1 3
press_key 2 9
press_key 2 1
press_key 2 $((${#row2[@]} - 1))
eventually 20 file_is "$typed" "zentra sessao 42
Tela" || fail "after the on-screen keys the typed file holds '$(cat "$typed")'"
xdotool mousemove $((WX + kTecladoX)) $((WY + kToolbarY)) click 1

log "the server stops and is back 3 s later: the session comes back without a click"
provider_stop_rdp
wait_for_alert Conectando
eventually 10 reconectar_disabled || fail "Reconectar enabled while the session reconnects"
sleep 3
provider_start_rdp 127.0.0.2 $kRdpPort
eventually $kLong no_alert || fail "the Conectando notice stayed after the session came back"
eventually $kLong established_one || fail "no RDP connection after the server came back"
wait_for_pattern
reconectar_enabled && fail "Reconectar enabled while connected again"

log "the server stops for good: after the attempts, Desconectado, Reconectar enabled"
provider_stop_rdp
wait_for_alert Conectando
# The session tries for about two minutes before it gives up.
wait_for_alert Desconectado 240
eventually 10 reconectar_enabled || fail "Reconectar not enabled after the server went"
kill -0 "$CLIENT" 2>/dev/null || fail "the program ended with the server"

log "the server is back: Reconectar, disabled on press, connects again"
provider_start_rdp 127.0.0.2 $kRdpPort
main_geometry
xdotool mousemove $((WX + kReconectarX)) $((WY + kToolbarY)) click 1
# The notice first: it shows only while connecting, which may be over before a screenshot of the
# toolbar is; Reconectar stays disabled from the press on while connecting and connected.
wait_for_alert Conectando
eventually 10 reconectar_disabled || fail "Reconectar still enabled after its press"
eventually $kLong no_alert || fail "the Conectando notice stayed after reconnecting"
[ "$(established)" -eq 1 ] || fail "no RDP connection after Reconectar"
wait_for_pattern
reconectar_enabled && fail "Reconectar enabled while connected again"

log "closing the window while connected disconnects and ends with code 0"
close_client
eventually 10 no_connection || fail "the RDP connection outlived the program"

log "closing the window while it reconnects ends the program with code 0 at once"
start_client
sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
wait_for_window "$kMainCaption" $kLong >/dev/null
eventually $kLong established_one || fail "no RDP connection established"
eventually $kLong no_alert || fail "the Conectando notice stayed"
provider_stop_rdp
wait_for_alert Conectando
main_geometry
closed_at=$SECONDS
# The attempts would go on for about two minutes: an end within this bound came from the close.
WM_CLOSE=$wm_close close_until_exit "$CLIENT" "$MAIN_ID" 30
[ "$E2E_EXIT" -eq 0 ] || { tail -30 "$E2E_TMP/zentra.log"; fail "exit code $E2E_EXIT"; }
log "ended $((SECONDS - closed_at)) s after the close"
grep -q 'ERROR: AddressSanitizer\|runtime error:' "$E2E_TMP/zentra.log" &&
  { cat "$E2E_TMP/zentra.log"; fail "sanitizer report"; }
echo "session test passed"
