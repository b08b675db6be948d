#!/usr/bin/env bash
# What a server receives of the person's display, read on the server's side: the shipped program
# signs in to a server built on FreeRDP's server library that writes down the core data of the
# client's MCS Connect Initial and every monitor layout sent on the display control channel
# (tests/support/hostile_rdp_endpoint --display), in a private network whose /etc/hosts maps the
# provider's names to loopback. Its certificate comes from the test authority the build trusts as
# the provider's, so the session opens without a question. The cases, one table:
#   - scale 1 and QT_SCALE_FACTOR=2: the connection asks for the control's size in device pixels
#     at a desktop scale of 100 % (device 100 %) and 200 % (device 180 %); the window resized,
#     the layout has the new size at the same scales;
#   - two monitors of one X screen, the right one at twice the scale (QT_SCREEN_SCALE_FACTORS):
#     the program starts on the left at 100 %; the window moved to the right one, the layout has
#     200 % and the control's pixels there.
#   display_test.sh ZENTRA LOOKUP_SERVICE WM_CLOSE NETNS_RUN ENDPOINT TEST_CA_DIR PROVIDER_CA
#                   LOGIN_HOST LOGIN2_HOST WEB_HOST
# Exits 77 (skipped) for a build that does not trust the test authority.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zentra=$1
lookup_service=$2
wm_close=$3
netns_run=$4
endpoint=$5
test_ca=$6
provider_ca=$7
rdp_host="rdp1.${8#*.}"
readonly kSkip=77
# The client's screen: two monitors side by side for the move case.
readonly kMonitorW=1280 kMonitorH=1024

if [ "${ZENTRA_DISPLAY_TEST_NETNS:-}" != 1 ]; then
  [ "$provider_ca" = "$test_ca/ca.pem" ] ||
    { echo "SKIP: this build does not trust the test authority (configure with -DZENTRA_TEST_CA=ON)"; exit $kSkip; }
fi

source "$here/../lib.sh"
e2e_report_failed_line

# Outside the namespace: the client's X server, large enough for the program at scale 2.
if e2e_outside ZENTRA_DISPLAY_TEST_NETNS; then
  start_xvfb $((2 * kMonitorW))x$((2 * kMonitorH))x24
  e2e_run_inside ZENTRA_DISPLAY_TEST_NETNS "$netns_run" --hosts "127.0.0.1 $8 $9 ${10}" \
    --hosts "127.0.0.2 $rdp_host" -- "$0" "$@"
fi

source "$here/../client.sh"
e2e_report_at_exit display "" "$E2E_TMP/zentra.log" "$E2E_TMP/endpoint.out"

"$here/../../support/test-ca" issue "$test_ca" "$rdp_host" "$E2E_TMP/certificate"
report=$E2E_TMP/endpoint.log
setpriv --pdeathsig TERM "$endpoint" --display 127.0.0.2 $kRdpPort "$E2E_TMP/certificate/cert.pem" \
  "$E2E_TMP/certificate/key.pem" "$report" >"$E2E_TMP/endpoint.out" 2>&1 &
E2E_PIDS+=($!)
setpriv --pdeathsig TERM "$lookup_service" 127.0.0.1 52 "$rdp_host;$kRdpPort" \
  "$E2E_TMP/lookup.log" >"$E2E_TMP/lookup.out" 2>&1 &
E2E_PIDS+=($!)
for port in "127.0.0.2 $kRdpPort" "127.0.0.1 52"; do
  eventually 10 bash -c "exec 3<>/dev/tcp/${port% *}/${port#* }" 2>/dev/null ||
    fail "nothing listens on $port: $(cat "$E2E_TMP"/*.out)"
done

mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config QT_QPA_PLATFORM=xcb
export QT_LOGGING_RULES="zentra.rdp.info=true" WLOG_LEVEL=WARN
cd "$E2E_TMP"

# The lines the endpoint wrote for the connection of the current case.
connection=0
reported() { grep "^connection $connection: $1" "$report" | tail -1; }
# Waits for the endpoint's line "$1" of this connection that ends as $2 says; $3 says what it is.
expect_reported() {
  local kind=$1 want=$2 what=$3
  eventually 20 bash -c "grep -q '^connection $connection: $kind.*$want\$' '$report'" ||
    fail "$what: the server received '$(reported "$kind")', not '...$want'"
  log "$what: the server received $(reported "$kind" | sed 's/^connection [0-9]*: //')"
}
# What the control asks for: "W x H" in the X server's pixels, the width even.
control_size() {
  view_geometry
  echo "$((VW / 2 * 2)) x $VH"
}
# The scale factors that go with a screen scale: "desktop scale D %, device scale E %".
scales() {
  case $1 in
    1) echo "desktop scale 100 %, device scale 100 %" ;;
    2) echo "desktop scale 200 %, device scale 180 %" ;;
  esac
}

sign_in_and_wait() {
  connection=$(($(grep -c ': accepted$' "$report" || true) + 1))
  start_client
  sign_in zentra Exibe-escala-1
  wait_for_window "$kMainCaption" $kLong >/dev/null
  eventually $kLong no_alert || fail "a notice stayed up after signing in"
  eventually 20 bash -c "grep -q '^connection $connection: session active' '$report'" ||
    fail "no session became active: $(tail -5 "$report")"
  eventually 20 bash -c "grep -q '^connection $connection: display control channel open' '$report'" ||
    fail "the display control channel did not open: $(tail -5 "$report")"
}

end_case() {
  close_client
  unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
}

case_scale() {
  local scale=$1 w h
  [ "$scale" -eq 1 ] || export QT_SCALE_FACTOR=$scale
  log "the program at scale $scale"
  sign_in_and_wait
  expect_reported "core data" "desktop $(control_size), $(scales "$scale"), physical .*" \
    "scale $scale, signed in"
  main_geometry
  w=900 h=700
  xdotool windowsize "$MAIN_ID" $((w * scale)) $((h * scale))
  eventually 10 bash -c "xdotool getwindowgeometry '$MAIN_ID' | grep -q 'Geometry: $((w * scale))x$((h * scale))'" ||
    fail "the window did not take $w x $h"
  expect_reported "monitor layout" "primary $(control_size) at 0,0, $(scales "$scale"), physical .*" \
    "scale $scale, the window resized to $w x $h"
  end_case
}

case_move() {
  log "two monitors, the right one at twice the scale"
  xrandr --delmonitor screen >/dev/null 2>&1 || true
  xrandr --setmonitor left "$kMonitorW/338x$((2 * kMonitorH))/541+0+0" screen >/dev/null
  xrandr --setmonitor right "$kMonitorW/338x$((2 * kMonitorH))/541+$kMonitorW+0" none >/dev/null
  export QT_SCREEN_SCALE_FACTORS="left=1;right=2"
  sign_in_and_wait
  main_geometry
  [ "$WX" -lt "$kMonitorW" ] || fail "the session window did not open on the left monitor"
  expect_reported "core data" "desktop $(control_size), $(scales 1), physical .*" \
    "on the left monitor"
  xdotool windowmove "$MAIN_ID" $((kMonitorW + 40)) 40
  # The window keeps its pixels on the new screen and its control has half as many logical ones:
  # the same pixels are asked for, at the new scale.
  expect_reported "monitor layout" "primary .* at 0,0, $(scales 2), physical .*" \
    "moved to the right monitor"
  local size wrong
  size=$(QT_SCALE_FACTOR=2 control_size)
  expect_reported "monitor layout" "primary $size at 0,0, $(scales 2), physical .*" \
    "the control on the right monitor"
  # Nothing else on the way: a layout of the old logical size at the new scale would have the
  # server take a desktop of four times the pixels for a moment.
  sleep 1
  wrong=$(grep "^connection $connection: monitor layout" "$report" | grep -v "primary $size at") ||
    true
  [ -z "$wrong" ] || fail "the server was also sent: $wrong"
  end_case
}

# ZENTRA_DISPLAY_CASES picks some of the cases, to look at one alone.
for name in ${ZENTRA_DISPLAY_CASES:-scale1 scale2 move}; do
  case $name in
    scale*) case_scale "${name#scale}" ;;
    *) "case_$name" ;;
  esac
done

grep -q 'ERROR: AddressSanitizer\|runtime error:' "$E2E_TMP/zentra.log" &&
  { cat "$E2E_TMP/zentra.log"; fail "sanitizer report"; }
echo "display test passed"
