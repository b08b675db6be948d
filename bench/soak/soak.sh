#!/usr/bin/env bash
# A working day, shortened: the shipped program signed in to a real RDP server
# (freerdp-shadow-cli, NLA) whose display runs the benchmark's full-screen animation, for MINUTES
# minutes, with the server restarted every two minutes and the clipboard used every ten seconds.
# Each minute it prints the program's resident memory, open descriptors and threads and the
# frames it put on its screen in that minute (counted outside it, from the X server's damage
# reports, as bench/rdp does); after each restart, how long the session took to come back.
# A benchmark: it reports and never fails on a figure.
#
#   bench/soak/soak.sh [MINUTES]      (default 20)
#   ZENTRA_BUILD=DIR                  the build folder (default build-release, else build) with
#                                     zentra, lookup_service, wm_close and bench/rdp's programs:
#   cmake --build build-release --target zentra zentra_rdp_session_library lookup_service \
#     wm_close zentra_rdp_bench_animation zentra_rdp_bench_frames
#
# freerdp-shadow-cli has no clipboard channel: the copies here are this computer's (xclip on the
# program's display), which the program watches and offers to a server that has the channel; the
# copies that cross to the remote side and back are tested against xrdp (e2e_xrdp_clipboard).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${1:-20}
build=${ZENTRA_BUILD:-}
if [ -z "$build" ]; then
  if [ -x "$root/build-release/src/zentra" ]; then build=$root/build-release; else build=$root/build; fi
fi
zentra=$build/src/zentra
lookup_service=$build/tools/lookup_service
wm_close=$build/tools/wm_close
animation=$build/bench/rdp/zentra_rdp_bench_animation
frames=$build/bench/rdp/zentra_rdp_bench_frames
for program in "$zentra" "$lookup_service" "$wm_close" "$animation" "$frames"; do
  [ -x "$program" ] || { echo "soak: $program is missing (see the build line at the top)" >&2; exit 1; }
done
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
login_host=$(cache_value ZENTRA_LOGIN_HOST)
login2_host=$(cache_value ZENTRA_LOGIN2_HOST)
web_host=$(cache_value ZENTRA_WEB_HOST)
rdp_host="rdp1.${login_host#*.}"

source "$root/tests/e2e/lib.sh"
source "$root/tests/e2e/provider.sh"
trap 'provider_stop; e2e_cleanup' EXIT

# Outside the namespace: the two X servers and the animation on the server's display.
if e2e_outside ZENTRA_SOAK_NETNS; then
  start_xvfb 1280x1024x24
  provider_init "$E2E_TMP/provider"
  provider_start_display
  provider_launch "$PROVIDER_DIR/animation.log" "$animation"
  export ZENTRA_BUILD=$build
  e2e_run_inside ZENTRA_SOAK_NETNS "$root/tests/support/netns-run" \
    --hosts "127.0.0.1 $login_host $login2_host $web_host" --hosts "127.0.0.2 $rdp_host" -- \
    "$0" "$@"
fi

source "$root/tests/e2e/client.sh"
provider_start_rdp 127.0.0.2 $kRdpPort
provider_start_lookup "$lookup_service" 127.0.0.1 "$rdp_host;$kRdpPort"
mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config QT_QPA_PLATFORM=xcb
cd "$E2E_TMP"

start_client
sign_in "$PROVIDER_USER" "$PROVIDER_PASSWORD"
wait_for_window "$kMainCaption" $kLong >/dev/null
eventually $kLong established_one || fail "no session"
eventually $kLong no_alert || true
desktop_origin
setpriv --pdeathsig TERM "$frames" "$DISPLAY" "$DX" "$DY" >"$E2E_TMP/frames.out" 2>"$E2E_TMP/frames.log" &
E2E_PIDS+=($!)

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$CLIENT/status"; }
threads() { awk '/^Threads:/ { print $2 }' "/proc/$CLIENT/status"; }
descriptors() { ls "/proc/$CLIENT/fd" | wc -l; }
frames_so_far() { tail -1 "$E2E_TMP/frames.out" 2>/dev/null || echo 0; }

echo "soak: $minutes min against freerdp-shadow-cli with a 1024x768 animation; server restart" \
  "every 2 min, a clipboard copy every 10 s"
printf '%6s %10s %12s %8s %14s %s\n' minute "RSS MiB" descriptors threads "frames shown" note
start=$SECONDS
last_frames=$(frames_so_far)
copies=0
restarts=0
note=
for minute in $(seq "$minutes"); do
  for tick in 1 2 3 4 5 6; do
    # Until ten seconds have passed since the last tick: the clipboard first.
    tick_end=$((start + (minute - 1) * 60 + tick * 10))
    printf 'soak copy %d at %s' "$copies" "$(date +%T)" | timeout 5 xclip -selection clipboard -i &&
      copies=$((copies + 1))
    while [ $SECONDS -lt $tick_end ]; do sleep 0.5; done
  done
  kill -0 "$CLIENT" 2>/dev/null || fail "the program ended at minute $minute"
  now_frames=$(frames_so_far)
  printf '%6d %10.1f %12d %8d %14d %s\n' "$minute" "$(echo "$(rss_kib) / 1024" | bc -l)" \
    "$(descriptors)" "$(threads)" $((now_frames - last_frames)) "$note"
  last_frames=$now_frames
  note=
  if [ $((minute % 2)) -eq 0 ] && [ "$minute" -lt "$minutes" ]; then
    restarts=$((restarts + 1))
    stopped=$SECONDS
    provider_stop_rdp
    sleep 2
    provider_start_rdp 127.0.0.2 $kRdpPort
    if eventually $kLong established_one; then
      note="restart $restarts: session back after $((SECONDS - stopped)) s"
    else
      note="restart $restarts: session NOT back after $((SECONDS - stopped)) s"
    fi
    # The restart's wait belongs to the next minute.
    start=$((start + SECONDS - stopped))
  fi
done
echo "soak: $copies clipboard copies, $restarts server restarts; program still running: yes"
close_client
echo "soak: closed with exit code $E2E_EXIT"
