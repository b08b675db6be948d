# xrdp as a third-party RDP server for the end-to-end tests: TLS without NLA, clipboard, sound
# and drive channels, an Xvnc session per sign-in. It must run as root inside a private network
# and mount namespace of its own (tests/support/netns-run run as root): sesman switches to the
# test user, and everything it changes (the user database, /etc/xrdp, /run/xrdp) is a private
# copy mounted over the real one, gone with the namespace.
#
# The session's X server is Xvnc, or Xorg with xorgxrdp when XRDP_BACKEND=Xorg (the back end that
# follows the client's size most faithfully). Source it after tests/e2e/lib.sh (its end_process),
# then:
#   xrdp_start DIR ADDRESS PORT USER PASSWORD CERT KEY   starts sesman and xrdp; returns once both
#                                                         accept connections
#   xrdp_session_display                                 prints the session's display, once a
#                                                         client has signed in
#   xrdp_session_run COMMAND [ARG...]                    runs a program in the session as the user
#   xrdp_session_launch LOG COMMAND [ARG...]             the same in the background, stopped by
#                                                         xrdp_stop
#   xrdp_session_logoff                                  ends the session's window manager, as
#                                                         logging off from the desktop does
#   xrdp_stop                                            stops everything it started
# Every wait is bounded; a helper that runs out of time prints why and returns 1. The logs are in
# DIR: xrdp.log, sesman.log, chansrv/, session.log.

XRDP_DIR=
XRDP_USER=
XRDP_PIDS=()
XRDP_MOUNTS=()
XRDP_WAIT_SECONDS=${XRDP_WAIT_SECONDS:-30}
XRDP_BACKEND=${XRDP_BACKEND:-Xvnc}

# True when something listens on TCP port $1 (any address: sesman asked for 127.0.0.1 may listen
# on [::1]).
xrdp_listening() { ss -Hltn "( sport = :$1 )" | grep -q .; }

xrdp_wait_listening() {
  local port=$1 i
  for i in $(seq $((XRDP_WAIT_SECONDS * 10))); do
    xrdp_listening "$port" && return 0
    sleep 0.1
  done
  echo "xrdp: nothing listens on port $port after ${XRDP_WAIT_SECONDS}s" >&2
  return 1
}

# The system's configuration stays untouched: a copy of /etc is mounted over it for this
# namespace, so useradd and chpasswd (which replace files by renaming) work on the copy.
xrdp_private_etc() {
  mkdir -p "$XRDP_DIR/etc"
  cp -a /etc/. "$XRDP_DIR/etc/"
  xrdp_mount --bind "$XRDP_DIR/etc" /etc
}

# Mounts, remembering the mount point so that xrdp_stop can let the folder go again.
xrdp_mount() {
  mount "$@" && XRDP_MOUNTS+=("${@: -1}")
}

xrdp_write_config() {
  local address=$1 port=$2 cert=$3 key=$4 dir=$XRDP_DIR
  # The session's start script starts nothing: the tests put their own programs in the session.
  printf '#!/bin/sh\nexec sleep infinity\n' >"$dir/startwm.sh"
  chmod 755 "$dir/startwm.sh"
  mkdir -p "$dir/chansrv" "$dir/xorg"
  chmod 777 "$dir/chansrv" "$dir/xorg"
  cat >"$dir/xrdp.ini" <<INI
[Globals]
ini_version=1
fork=false
port=tcp://$address:$port
use_vsock=false
tcp_nodelay=true
tcp_keepalive=true
security_layer=tls
crypt_level=high
certificate=$cert
key_file=$key
ssl_protocols=TLSv1.2, TLSv1.3
autorun=$XRDP_BACKEND
allow_channels=true
allow_multimon=false
bitmap_cache=true
bitmap_compression=true
bulk_compression=true
max_bpp=32
new_cursors=true
use_fastpath=both

[Logging]
LogFile=$dir/xrdp.log
LogLevel=${XRDP_LOG_LEVEL:-INFO}
EnableSyslog=false

[Channels]
rdpdr=true
rdpsnd=true
drdynvc=true
cliprdr=true
rail=true
xrdpvr=true
tcutils=true

[Xvnc]
name=Xvnc
lib=libvnc.so
username=ask
password=ask
ip=127.0.0.1
port=-1

[Xorg]
name=Xorg
lib=libxup.so
username=ask
password=ask
ip=127.0.0.1
port=-1
code=20
INI
  # Xvnc's own clipboard sync races chansrv's and gives empty answers: turned off. The session
  # displays start at :60, away from the numbers other tests' X servers usually take; a number
  # still held (by another test, or files left by a killed one) is skipped within the range
  # X11DisplayOffset to X11DisplayOffset + MaxSessions.
  cat >"$dir/sesman.ini" <<INI
[Globals]
ListenAddress=127.0.0.1
ListenPort=3350
EnableUserWindowManager=false
UserWindowManager=startwm.sh
DefaultWindowManager=$dir/startwm.sh
ReconnectScript=$dir/startwm.sh

[Security]
AllowRootLogin=false
MaxLoginRetry=4
TerminalServerUsers=tsusers
TerminalServerAdmins=tsadmins
AlwaysGroupCheck=false
RestrictOutboundClipboard=none
RestrictInboundClipboard=none

[Sessions]
X11DisplayOffset=60
MaxSessions=40
KillDisconnected=true
DisconnectedTimeLimit=0
IdleTimeLimit=0
Policy=Default

[Logging]
LogFile=$dir/sesman.log
LogLevel=INFO
EnableSyslog=false

[Xvnc]
param=Xvnc
param=-bs
param=-nolisten
param=tcp
param=-localhost
param=-dpi
param=96
param=-SendCutText=0
param=-AcceptCutText=0
param=-SendPrimary=0
param=-SetPrimary=0

[Xorg]
param=/usr/lib/xorg/Xorg
param=-config
param=xrdp/xorg.conf
param=-noreset
param=-nolisten
param=tcp
param=-logfile
param=$dir/xorg/xorg.%s.log

[Chansrv]
FuseMountName=thinclient_drives
FileUmask=077

[ChansrvLogging]
LogLevel=INFO
EnableSyslog=false

[SessionVariables]
CHANSRV_LOG_PATH=$dir/chansrv
INI
}

xrdp_start() {
  XRDP_DIR=$1
  local address=$2 port=$3 user=$4 password=$5 cert=$6 key=$7
  XRDP_USER=$user
  [ "$(id -u)" -eq 0 ] || { echo "xrdp: needs root (sesman switches to the test user)" >&2; return 1; }
  mkdir -p "$XRDP_DIR"
  # The test user's home lies under DIR: every folder on the way must let the user through.
  local up=$XRDP_DIR
  while [ "$up" != / ] && [ -n "$up" ]; do
    chmod o+x "$up" 2>/dev/null || true
    up=$(dirname "$up")
  done
  xrdp_write_config "$address" "$port" "$cert" "$key" || return 1
  xrdp_private_etc || { echo "xrdp: cannot mount a private /etc" >&2; return 1; }
  xrdp_mount --bind "$XRDP_DIR/xrdp.ini" /etc/xrdp/xrdp.ini &&
    xrdp_mount --bind "$XRDP_DIR/sesman.ini" /etc/xrdp/sesman.ini &&
    xrdp_mount -t tmpfs -o mode=0755 tmpfs /run/xrdp ||
    { echo "xrdp: cannot mount its configuration" >&2; return 1; }
  useradd -m -d "$XRDP_DIR/home/$user" -s /bin/sh "$user" &&
    echo "$user:$password" | chpasswd ||
    { echo "xrdp: cannot make the test user $user" >&2; return 1; }
  # Both in the foreground, ending with the test's shell if it is killed.
  setpriv --pdeathsig TERM xrdp-sesman -n >>"$XRDP_DIR/sesman.out" 2>&1 &
  XRDP_PIDS+=($!)
  xrdp_wait_listening 3350 || return 1
  setpriv --pdeathsig TERM xrdp -n >>"$XRDP_DIR/xrdp.out" 2>&1 &
  XRDP_PIDS+=($!)
  xrdp_wait_listening "$port"
}

# The session's X display, from the Xvnc that sesman started for the user (empty until then).
xrdp_session_display() {
  pgrep -u "$XRDP_USER" -a -x 'Xvnc|Xorg' | awk '{ for (i = 3; i <= NF; i++) if ($i ~ /^:[0-9]+$/) { print $i; exit } }'
}

xrdp_session_env() {
  local display
  display=$(xrdp_session_display)
  [ -n "$display" ] || { echo "xrdp: no session for $XRDP_USER" >&2; return 1; }
  echo "DISPLAY=$display" "XAUTHORITY=$XRDP_DIR/home/$XRDP_USER/.Xauthority" \
    "HOME=$XRDP_DIR/home/$XRDP_USER"
}

xrdp_session_run() {
  local environment
  environment=$(xrdp_session_env) || return 1
  # shellcheck disable=SC2086 # the variables are words of our own making
  setpriv --reuid "$XRDP_USER" --regid "$XRDP_USER" --init-groups env $environment "$@"
}

xrdp_session_launch() {
  local log=$1 environment
  shift
  environment=$(xrdp_session_env) || return 1
  # shellcheck disable=SC2086
  setpriv --pdeathsig TERM --reuid "$XRDP_USER" --regid "$XRDP_USER" --init-groups \
    env $environment "$@" >"$log" 2>&1 &
  XRDP_PIDS+=($!)
}

# The session's window manager is the start script's "sleep infinity"; when it ends, sesman ends
# the session (its X server, chansrv) and xrdp lets the client go.
xrdp_session_logoff() {
  local pid i
  # sesman starts the window manager just after the session's X server: wait for it.
  for i in $(seq $((XRDP_WAIT_SECONDS * 10))); do
    pid=$(pgrep -u "$XRDP_USER" -xf 'sleep infinity' | head -1) || true
    [ -n "$pid" ] && break
    sleep 0.1
  done
  [ -n "$pid" ] || { echo "xrdp: no window manager in a session of $XRDP_USER" >&2; return 1; }
  kill "$pid"
}

xrdp_stop() {
  local i pid
  # The session first, while sesman still runs: Xvnc (or Xorg) ended with SIGTERM removes its
  # socket and lock files in /tmp, which would otherwise keep the display number taken for later
  # runs. Only this test's processes are seen here (a process namespace of its own).
  if [ -n "$XRDP_USER" ]; then
    for pid in $(pgrep -u "$XRDP_USER" -x 'Xvnc|Xorg'); do
      kill "$pid" 2>/dev/null || continue
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
    done
  fi
  for ((i = ${#XRDP_PIDS[@]} - 1; i >= 0; i--)); do end_process "${XRDP_PIDS[i]}"; done
  XRDP_PIDS=()
  # The session's drive folder (FUSE, mounted by chansrv) and ours, newest first, so that the
  # test's folder can be removed.
  local home=$XRDP_DIR/home/$XRDP_USER
  [ -z "$XRDP_USER" ] || ! mountpoint -q "$home/thinclient_drives" ||
    umount -l "$home/thinclient_drives" 2>/dev/null || true
  for ((i = ${#XRDP_MOUNTS[@]} - 1; i >= 0; i--)); do umount -l "${XRDP_MOUNTS[i]}" || true; done
  XRDP_MOUNTS=()
  # The session (Xvnc, chansrv, the start script) was forked by sesman as the test user; it ends
  # with the namespace's process tree (netns-run gives each test a process namespace of its own).
}
