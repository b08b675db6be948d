#!/usr/bin/env bash
# Whom the shipped program gives the password to, tried as an attacker on the network would, in a
# private network whose /etc/hosts maps the provider's names to loopback:
#   - a lookup reply naming no host ("|;7": FreeRDP would read an open descriptor; "/tmp/x;1": a
#     local socket) gives the catch-all message and no session window;
#   - a server offering TLS only (freerdp-shadow-cli /sec:tls) with a certificate never seen
#     before: the program asks, showing no remote desktop meanwhile; "Não" ends in Desconectado
#     and the server sees no logon; "Sim" opens the session;
#   - closing the window during a handshake with a server that never answers ends the program
#     with code 0 at once.
# (A server that proves itself with NLA opens without a question: e2e_session.)
#   trust_test.sh ZENTRA LOOKUP_SERVICE WM_CLOSE NETNS_RUN SILENT_LISTENER LOGIN_HOST LOGIN2_HOST
#                 WEB_HOST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zentra=$1
lookup_service=$2
wm_close=$3
netns_run=$4
silent_listener=$5
rdp_host="rdp1.${6#*.}"
source "$here/../lib.sh"
source "$here/../provider.sh"
trap 'provider_stop; e2e_cleanup' EXIT
e2e_report_failed_line

if [ "${ZENTRA_TRUST_TEST_NETNS:-}" != 1 ]; then
  start_xvfb 1280x1024x24
  provider_init "$E2E_TMP/provider"
  provider_start_display
  provider_show_pattern
  status=0
  ZENTRA_TRUST_TEST_NETNS=1 "$netns_run" --hosts "127.0.0.1 $6 $7 $8" \
    --hosts "127.0.0.2 $rdp_host" -- bash "$0" "$@" || status=$?
  exit $status
fi

source "$here/../client.sh"
artifacts=${ZENTRA_TEST_ARTIFACTS:-$PWD/trust-test-artifacts}
mkdir -p "$artifacts"
on_exit() {
  local status=$?
  if [ $status -ne 0 ]; then
    shot "$artifacts/failure.png" 2>/dev/null || true
    echo "== the screen at the failure: $artifacts/failure.png"
    echo "== the program's output (last lines)"
    tail -40 "$E2E_TMP/zentra.log" 2>/dev/null || true
    echo "== the RDP server's output (last lines)"
    tail -20 "$PROVIDER_DIR/rdp.log" 2>/dev/null || true
  fi
  provider_stop
  e2e_cleanup
}
trap on_exit EXIT

readonly kCatchAll="Parâmetros incorretos ou sem acesso à internet"
mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config QT_QPA_PLATFORM=xcb
cd "$E2E_TMP"

lookup_pid=
serve_lookup() {
  [ -z "$lookup_pid" ] || end_process "$lookup_pid"
  setpriv --pdeathsig TERM "$lookup_service" 127.0.0.1 52 "$1" "$PROVIDER_DIR/lookup.log" \
    >>"$PROVIDER_DIR/lookup.out" 2>&1 &
  lookup_pid=$!
  provider_wait_port 127.0.0.1 52
}

end_client() {
  kill "$CLIENT" 2>/dev/null || true
  wait "$CLIENT" 2>/dev/null || true
}

session_window_shown() { xdotool search --onlyvisible --name "^${kMainCaption}\$" >/dev/null 2>&1; }

# What the shadow server logs once a client has logged on and its session runs: it captures
# the screen for it (the encoder's lines) and the client's input arrives.
server_saw_logon() { grep -Eq 'libx264|input_synchronize_event|audin' "$PROVIDER_DIR/rdp.log"; }

case_lookup() {
  # The catch-all message as the program shows it when the lookup endpoint does not answer: the
  # picture every refused reply's message must match.
  log "no lookup endpoint: the catch-all message"
  [ -z "$lookup_pid" ] || end_process "$lookup_pid"
  lookup_pid=
  start_client
  sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
  wait_for_box $kLong || fail "no message without a lookup endpoint"
  sleep 0.5
  /usr/bin/import -window "$BOX_ID" "$E2E_TMP/catch-all.png"
  end_client
  for reply in '|;7' '/tmp/x;1'; do
    log "lookup reply '$reply': the catch-all message and no session window"
    serve_lookup "$reply"
    start_client
    sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
    wait_for_box 20 || fail "no message for the lookup reply '$reply'"
    box_looks_like "$BOX_ID" "$E2E_TMP/catch-all.png" ||
      fail "the message for '$reply' is not the catch-all one"
    session_window_shown && fail "a session window came up for the lookup reply '$reply'"
    end_client
  done
}

case_tls() {
  log "TLS only, a certificate never seen: the question, and no remote desktop meanwhile"
  PROVIDER_SECURITY=tls provider_start_rdp 127.0.0.2 $kRdpPort
  serve_lookup "$rdp_host;$kRdpPort"
  : >"$PROVIDER_DIR/rdp.log"
  start_client
  sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
  wait_for_window "$kMainCaption" $kLong >/dev/null
  wait_for_box 20 || fail "no certificate question from a TLS-only server never seen before"
  provider_repaint
  sleep 2
  shows_pattern && fail "the remote desktop shows while the question is open"
  server_saw_logon && fail "the server saw a logon before the question was answered"

  log "'Não' (the default): Desconectado, and the server saw no logon"
  xdotool windowfocus --sync "$BOX_ID" key Return
  wait_for_alert Desconectado
  sleep 2
  server_saw_logon && fail "the server saw a logon after 'Não'"
  end_client

  log "'Sim': the session opens"
  start_client
  sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
  wait_for_window "$kMainCaption" $kLong >/dev/null
  wait_for_box 20 || fail "no question the second time (a refused certificate must not be kept)"
  xdotool windowfocus --sync "$BOX_ID" key alt+s
  eventually $kLong no_alert || fail "the Conectando notice stayed after 'Sim'"
  wait_for_pattern
  server_saw_logon || fail "the session shows, yet the server's log has no sign of the logon"
  end_client
  provider_stop_rdp
}

case_silent() {
  log "closing the window during a handshake with a silent server: exit 0 at once"
  setpriv --pdeathsig TERM "$silent_listener" 127.0.0.2 $kRdpPort >"$E2E_TMP/silent.log" 2>&1 &
  E2E_PIDS+=($!)
  provider_wait_port 127.0.0.2 $kRdpPort
  serve_lookup "$rdp_host;$kRdpPort"
  start_client
  sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
  wait_for_alert Conectando
  eventually 10 bash -c "ss -Htn state established '( dport = :$kRdpPort )' | grep -q ." ||
    fail "the program did not reach the silent server"
  sleep 1
  main_geometry
  asked=$(date +%s%N)
  "$wm_close" "$MAIN_ID"
  # A program stuck in the handshake never ends: the bound catches that, the time is reported.
  wait_for_exit "$CLIENT" 20
  took=$((($(date +%s%N) - asked) / 1000000))
  log "the program ended ${took} ms after the close request, code $E2E_EXIT"
  [ "$E2E_EXIT" -eq 0 ] || fail "exit code $E2E_EXIT after closing during the handshake"
}

# ZENTRA_TRUST_CASES picks some of the cases, to look at one alone.
for name in ${ZENTRA_TRUST_CASES:-lookup tls silent}; do "case_$name"; done

grep -q 'ERROR: AddressSanitizer\|runtime error:' "$E2E_TMP/zentra.log" &&
  { cat "$E2E_TMP/zentra.log"; fail "sanitizer report"; }
rm -rf "$artifacts"
echo "trust test passed"
