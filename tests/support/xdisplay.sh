# X servers for the tests, each on a display number of its own with a lock file. Source it.
#
# An X server started with -displayfd picks its number by trying to listen, writes no lock file,
# and removes a socket file of the same name that is in its way. Inside a private network namespace
# it cannot see the abstract sockets of the servers outside, so it takes a number another run's
# server is using and unlinks that server's socket: that server's clients then fail to connect.
# Here every server gets an explicit number (the server then writes its lock file), chosen where
# the servers outside can be seen: tests/support/netns-run chooses candidates before it enters the
# namespace (ZENTRA_FREE_DISPLAYS); a number still taken when the server starts is passed over.
#
#   x_free_displays [COUNT]                 prints COUNT numbers no X server holds as seen from here
#   x_server_start LOG SERVER [ARG...]      starts "SERVER :N ARG..." on a free number; sets
#                                           X_SERVER_PID and X_SERVER_DISPLAY (":N"); returns 1
#                                           when no number could be had

# How long a server may take to listen on its new display.
X_SERVER_WAIT_SECONDS=${X_SERVER_WAIT_SECONDS:-20}

x_free_displays() {
  local count=${1:-1} found=0 n start abstract
  # Spread out, so that runs side by side rarely try the same number first.
  start=$((100 + RANDOM % 800))
  abstract=" $(awk '$NF ~ /^@\/tmp\/\.X11-unix\/X[0-9]+$/ { sub(/.*X/, "", $NF); print $NF }' \
    /proc/net/unix 2>/dev/null | tr '\n' ' ') "
  for ((n = start; n < start + 4000 && found < count; n++)); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    [[ "$abstract" == *" $n "* ]] && continue
    echo "$n"
    found=$((found + 1))
  done
}

# True once the server $1 on display $2 holds its lock file and listens. No client connects to
# find out: the server resets when its last client leaves, and a program connecting during that
# reset is refused. One that connects before the server has finished starting waits for it.
x_server_ready() {
  local pid=$1 n=$2 holder
  [ -f "/tmp/.X$n-lock" ] && [ -S "/tmp/.X11-unix/X$n" ] || return 1
  holder=$(tr -d ' \n' <"/tmp/.X$n-lock") || return 1
  [ "$holder" = "$pid" ]
}

x_server_start() {
  local log=$1 server=$2 n pid i
  shift 2
  local candidates=(${ZENTRA_FREE_DISPLAYS:-} $(x_free_displays 8))
  for n in "${candidates[@]}"; do
    # Each candidate that netns-run chose is used once.
    ZENTRA_FREE_DISPLAYS=$(tr ' ' '\n' <<<"${ZENTRA_FREE_DISPLAYS:-}" | grep -vx "$n" | tr '\n' ' ')
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    # -noreset: a server resets when its last client leaves and refuses whoever connects during
    # the reset; a test's short-lived probes (xdotool, xprop) would otherwise race the program.
    setpriv --pdeathsig TERM "$server" ":$n" -noreset "$@" >>"$log" 2>&1 &
    pid=$!
    for i in $(seq $((X_SERVER_WAIT_SECONDS * 10))); do
      kill -0 "$pid" 2>/dev/null || break
      if x_server_ready "$pid" "$n"; then
        X_SERVER_PID=$pid
        X_SERVER_DISPLAY=":$n"
        return 0
      fi
      sleep 0.1
    done
    # Taken meanwhile (the server says so and ends), or not answering: the next number.
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "no free X display number could be had (tried ${candidates[*]})" >&2
  return 1
}
