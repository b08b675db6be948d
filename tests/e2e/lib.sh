# Shared helpers for the end-to-end scripts: a private X display, bounded waits, clean-up.
# Source it; every helper fails the script (exit 1) with a message when its bound runs out.

E2E_TMP=$(mktemp -d)
E2E_PIDS=()
e2e_cleanup() {
  local pid
  for pid in "${E2E_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

# The real program on a real X display: libxkbcommon-x11 copies the keymap's atom names with
# strndup from buffers that are not NUL-terminated, which is correct C but what ASan's
# strict_string_checks reports, ending the sanitizer build at start-up. Keep every other check.
if [ -n "${ASAN_OPTIONS:-}" ]; then export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"; fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Starts Xvfb on a free display and exports DISPLAY.
start_xvfb() {
  local size=${1:-1280x1024x24}
  local fdfile=$E2E_TMP/display.$RANDOM
  Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp 3>"$fdfile" 2>/dev/null &
  E2E_PIDS+=($!)
  local i
  for i in $(seq 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  [ -s "$fdfile" ] || fail "Xvfb did not start"
  export DISPLAY=":$(cat "$fdfile")"
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

# Waits up to $2 seconds for child process $1 to end and sets E2E_EXIT to its exit code.
# (Not in a command substitution: only this shell can collect its own children.)
wait_for_exit() {
  local pid=$1 limit=${2:-20} i
  for i in $(seq $((limit * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      E2E_EXIT=0
      wait "$pid" || E2E_EXIT=$?
      return 0
    fi
    sleep 0.1
  done
  fail "process $pid still running after ${limit}s"
}
