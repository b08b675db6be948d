# The provider's side, on this machine: the lookup endpoint (tools/lookup_service) and a real RDP
# server (tests/support/rdp-test-server: freerdp-shadow-cli with NLA, one user checked against a
# SAM file) serving its own Xvfb display. Used by the end-to-end session test and by scripts/demo:
# the X servers and the programs on the server display start outside, the services inside a
# private network namespace whose /etc/hosts maps the provider's names to loopback. (An X server
# started inside such a namespace cannot see the displays already in use and would take over
# another's socket file; from inside, a display is reached through its socket file in
# /tmp/.X11-unix.) The PROVIDER_ variables are exported, so a script run in the namespace picks up
# the same folder and display.
#
# Source it after lib.sh (its end_process), then:
#   provider_init DIR [USER PASSWORD]   a folder of its own; writes the SAM file
#   provider_start_display              Xvfb 1024x768; sets PROVIDER_DISPLAY
#   provider_show_pattern               four coloured quarters as the root window's background
#   provider_launch LOG PROGRAM [ARG...] a program on the server display, stopped with the rest
#   provider_start_rdp ADDRESS PORT     the RDP server; returns once it accepts connections. With
#                                       PROVIDER_SECURITY=tls it offers TLS only (no NLA). With
#                                       PROVIDER_CA_DIR and PROVIDER_RDP_NAME its certificate is
#                                       one that authority (tests/support/test-ca) issued for that
#                                       name, as the provider's servers have; else its own
#   provider_stop_rdp                   stops only the RDP server (the display stays)
#   provider_start_lookup PROGRAM ADDRESS REPLY   the lookup service on ADDRESS port 52
#   provider_repaint                    makes every pixel of the server display change and return
#   provider_stop                       stops everything it started, newest first
# Every wait is bounded; a helper that runs out of time prints why and returns 1.

export PROVIDER_USER=${PROVIDER_USER:-zentra}
export PROVIDER_PASSWORD=${PROVIDER_PASSWORD:-Quorvel-2024}
export PROVIDER_DIR=${PROVIDER_DIR:-}
export PROVIDER_DISPLAY=${PROVIDER_DISPLAY:-}
PROVIDER_RDP_PID=
PROVIDER_PIDS=()
PROVIDER_WAIT_SECONDS=${PROVIDER_WAIT_SECONDS:-20}
PROVIDER_SECURITY=${PROVIDER_SECURITY:-nla}

# The colours of the quarters, left to right and top to bottom (each 512 x 384 pixels).
PROVIDER_PATTERN=('#c83232' '#32b432' '#3232c8' '#c8c832')

provider_init() {
  PROVIDER_DIR=$1
  PROVIDER_USER=${2:-$PROVIDER_USER}
  PROVIDER_PASSWORD=${3:-$PROVIDER_PASSWORD}
  mkdir -p "$PROVIDER_DIR/server-home"
  "$PROVIDER_RDP_SERVER" sam "$PROVIDER_DIR/sam" "$PROVIDER_USER" "$PROVIDER_PASSWORD"
}

# Waits until a TCP connection to ADDRESS:PORT succeeds.
provider_wait_port() {
  local address=$1 port=$2 i
  for i in $(seq $((PROVIDER_WAIT_SECONDS * 10))); do
    if timeout 1 bash -c "exec 3<>/dev/tcp/$address/$port" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "provider: nothing answers on $address:$port after ${PROVIDER_WAIT_SECONDS}s" >&2
  return 1
}

provider_start_display() {
  x_server_start "$PROVIDER_DIR/xvfb.log" Xvfb -screen 0 1024x768x24 -nolisten tcp ||
    { echo "provider: Xvfb did not start" >&2; return 1; }
  PROVIDER_PIDS+=("$X_SERVER_PID")
  PROVIDER_DISPLAY=$X_SERVER_DISPLAY
}

provider_show_pattern() {
  local c=("${PROVIDER_PATTERN[@]}") image=$PROVIDER_DIR/pattern.png
  if [ ! -s "$image" ]; then
    /usr/bin/convert \( -size 512x384 "xc:${c[0]}" "xc:${c[1]}" +append \) \
      \( -size 512x384 "xc:${c[2]}" "xc:${c[3]}" +append \) -append "$image" || return 1
  fi
  # display sets the root window's background and leaves; its exit status says nothing useful.
  DISPLAY=$PROVIDER_DISPLAY timeout 10 /usr/bin/display -window root "$image" 2>/dev/null || true
}

provider_launch() {
  local log=$1
  shift
  DISPLAY=$PROVIDER_DISPLAY setpriv --pdeathsig TERM "$@" >"$log" 2>&1 &
  PROVIDER_PIDS+=($!)
}

PROVIDER_RDP_SERVER=$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)/rdp-test-server

# Gives the server a certificate of PROVIDER_CA_DIR for PROVIDER_RDP_NAME, unless it has one.
provider_install_certificate() {
  [ -n "${PROVIDER_CA_DIR:-}" ] && [ -n "${PROVIDER_RDP_NAME:-}" ] || return 0
  "$PROVIDER_RDP_SERVER" certificate "$PROVIDER_DIR/server-home" "$PROVIDER_CA_DIR" \
    "$PROVIDER_RDP_NAME" "$PROVIDER_DIR/issued"
}

provider_start_rdp() {
  local address=$1 port=$2
  provider_stop_rdp
  provider_install_certificate || return 1
  # Its certificate lives in its own home, so a restarted server shows the client the same one.
  setpriv --pdeathsig TERM "$PROVIDER_RDP_SERVER" run "$PROVIDER_DIR/server-home" \
    "$PROVIDER_DISPLAY" "$address" "$port" "$PROVIDER_SECURITY" "$PROVIDER_DIR/sam" \
    >>"$PROVIDER_DIR/rdp.log" 2>&1 &
  PROVIDER_RDP_PID=$!
  provider_wait_port "$address" "$port"
}

provider_stop_rdp() {
  [ -n "$PROVIDER_RDP_PID" ] || return 0
  end_process "$PROVIDER_RDP_PID"
  PROVIDER_RDP_PID=
}

provider_start_lookup() {
  local program=$1 address=$2 reply=$3
  setpriv --pdeathsig TERM "$program" "$address" 52 "$reply" "$PROVIDER_DIR/lookup.log" >"$PROVIDER_DIR/lookup.out" 2>&1 &
  PROVIDER_PIDS+=($!)
  provider_wait_port "$address" 52
}

# A server that sends only what changes shows a newly connected client nothing of a still
# screen: cover everything for a moment (longer than one capture), then bring it back.
provider_repaint() {
  local windows id
  windows=$(DISPLAY=$PROVIDER_DISPLAY xdotool search --onlyvisible --name '.' 2>/dev/null) || true
  for id in $windows; do DISPLAY=$PROVIDER_DISPLAY xdotool windowunmap --sync "$id" 2>/dev/null; done
  DISPLAY=$PROVIDER_DISPLAY timeout 10 xsetroot -solid black
  sleep 0.5
  provider_show_pattern
  for id in $windows; do DISPLAY=$PROVIDER_DISPLAY xdotool windowmap --sync "$id" 2>/dev/null; done
  return 0
}

provider_stop() {
  local i
  provider_stop_rdp
  for ((i = ${#PROVIDER_PIDS[@]} - 1; i >= 0; i--)); do end_process "${PROVIDER_PIDS[i]}"; done
  PROVIDER_PIDS=()
}
