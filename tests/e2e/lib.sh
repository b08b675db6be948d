# Shared helpers for the end-to-end scripts: a private X display, bounded waits, clean-up. The
# programs they start end with the script (setpriv --pdeathsig), even when it is killed.
# Source it; every helper fails the script (exit 1) with a message when its bound runs out.

source "$(dirname "${BASH_SOURCE[0]}")/../support/xdisplay.sh"

E2E_TMP=$(mktemp -d)
E2E_PIDS=()
e2e_cleanup() {
  local pid
  for pid in "${E2E_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

# Says where a command stopped the script (set -e), not the failed look-ups inside command
# substitutions; ZENTRA_TEST_TRACE=1 traces every command.
e2e_report_failed_line() {
  [ -z "${ZENTRA_TEST_TRACE:-}" ] || set -x
  set -E
  trap '[ $BASH_SUBSHELL -gt 0 ] || echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
}

# The two runs of a script that tests in a private network: the first, outside, starts what must
# be started where every other run's X servers can be seen (the displays), then runs the script
# again inside a private network and mount namespace (tests/support/netns-run) and ends with
# that run's status. MARKER names the variable that tells the second run it is inside.
#   if e2e_outside MARKER; then ...; e2e_run_inside MARKER NETNS_RUN [OPTION...] -- "$0" "$@"; fi
e2e_outside() { [ "${!1:-}" != 1 ]; }
e2e_run_inside() {
  local marker=$1 netns_run=$2 options=() status=0
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  env "$marker=1" "$netns_run" "${options[@]}" -- bash "$@" || status=$?
  exit $status
}

# What a failed script leaves behind, and its clean-up; call once, after sourcing client.sh (its
# shot). Sets $artifacts, the folder for pictures worth keeping (ZENTRA_TEST_ARTIFACTS, else
# ./NAME-test-artifacts). When the script fails (a skip, 77, is no failure): the screen of
# $E2E_SCREEN (else $DISPLAY) at that moment into $artifacts/failure.png and the last lines of
# each LOG (a pattern, expanded then); when it passes, $artifacts goes. Then STOP (a command, or
# "" for none) ends the script's servers, and the programs and files of lib.sh go.
#   e2e_report_at_exit NAME STOP [LOG...]
E2E_STOP=
E2E_FAILURE_LOGS=()
e2e_report_at_exit() {
  artifacts=${ZENTRA_TEST_ARTIFACTS:-$PWD/$1-test-artifacts}
  mkdir -p "$artifacts"
  E2E_STOP=$2
  shift 2
  E2E_FAILURE_LOGS=("$@")
  trap e2e_at_exit EXIT
}
e2e_at_exit() {
  local status=$? pattern log
  if [ $status -eq 0 ] || [ $status -eq 77 ]; then
    rm -rf "$artifacts"
  else
    DISPLAY=${E2E_SCREEN:-${DISPLAY:-}} shot "$artifacts/failure.png" 2>/dev/null || true
    echo "== the screen at the failure: $artifacts/failure.png"
    for pattern in "${E2E_FAILURE_LOGS[@]}"; do
      for log in $pattern; do
        [ -f "$log" ] && { echo "== $(basename "$log") (last lines)"; tail -30 "$log"; }
      done
    done
  fi
  [ -z "$E2E_STOP" ] || $E2E_STOP
  e2e_cleanup
}

# Fails the script, after showing the logs the script's programs wrote into $E2E_TMP.
fail() {
  local log
  for log in "$E2E_TMP"/*.log; do
    [ -f "$log" ] && { echo "--- $(basename "$log")"; tail -40 "$log"; } >&2
  done
  # Whether the display still answers and which X sockets exist: a display that seems to vanish
  # for one program while the others still reach it has been seen once; this tells the next time.
  if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null; then
    local answers=no
    DISPLAY=$DISPLAY timeout 5 xdpyinfo >/dev/null 2>&1 && answers=yes
    echo "--- display $DISPLAY answers: $answers; X sockets: $(ls -A /tmp/.X11-unix 2>/dev/null |
      tr '\n' ' ')locks: $(cd /tmp && ls -A .X*-lock 2>/dev/null | tr '\n' ' ')" >&2
  fi
  echo "FAIL: $*" >&2
  exit 1
}

# Ends one process: TERM, then KILL after 5 s; collects it when it is this shell's child.
end_process() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Starts Xvfb on a display number of its own (tests/support/xdisplay.sh) and exports DISPLAY.
start_xvfb() {
  local size=${1:-1280x1024x24}
  x_server_start "$E2E_TMP/xvfb.log" Xvfb -screen 0 "$size" -nolisten tcp || fail "Xvfb did not start"
  E2E_PIDS+=("$X_SERVER_PID")
  export DISPLAY=$X_SERVER_DISPLAY
}

# Waits up to $2 seconds (default 20) for a visible window named exactly $1; prints its id.
wait_for_window() {
  local name=$1 limit=${2:-20} id i
  for i in $(seq $((limit * 10))); do
    id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -1) || true
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  fail "no window named '$name' within ${limit}s"
}

# Collects child process $1 once it has ended and sets E2E_EXIT to its exit code; false while it
# runs. (Not in a command substitution: only this shell can collect its own children.)
e2e_collect() {
  kill -0 "$1" 2>/dev/null && return 1
  E2E_EXIT=0
  wait "$1" || E2E_EXIT=$?
}

# Waits up to $2 seconds for child process $1 to end and sets E2E_EXIT to its exit code.
wait_for_exit() {
  local pid=$1 limit=${2:-20} i
  for i in $(seq $((limit * 10))); do
    e2e_collect "$pid" && return 0
    sleep 0.1
  done
  fail "process $pid still running after ${limit}s"
}

# Asks window $2 of child process $1 to close (WM_DELETE_WINDOW through $WM_CLOSE) until the
# process ends, at most $3 seconds (default 30); sets E2E_EXIT. Qt drops a close request that
# arrives while a freshly mapped window is still settling, as a person's second click would
# repeat it, so the request is sent again every two seconds.
close_until_exit() {
  local pid=$1 window=$2 limit=${3:-30} i
  for i in $(seq $((limit / 2))); do
    "$WM_CLOSE" "$window" 2>/dev/null || true
    local j
    for j in $(seq 20); do
      e2e_collect "$pid" && return 0
      sleep 0.1
    done
  done
  fail "process $pid did not end within ${limit}s of being asked to close"
}
