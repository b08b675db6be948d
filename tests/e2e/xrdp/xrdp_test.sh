#!/usr/bin/env bash
# The shipped program against a third-party RDP server: xrdp (TLS without NLA, with clipboard,
# sound and drive channels) serving an Xvnc session, in a private network whose /etc/hosts maps
# the provider's names to loopback. Its certificate comes from the test authority the build
# trusts as the provider's, so the session opens without a question. Signed in, the session must
# stay up (a channel with nothing behind it used to end it a second later), keys typed into the
# program must reach a program in the session, and the program's log must show no channel error.
#   xrdp_test.sh session|clipboard|logoff|drives|pastefault|reconnect|resize|hidpi ZENTRA LOOKUP_SERVICE WM_CLOSE NETNS_RUN TEST_CA_DIR PROVIDER_CA
#                SOURCE_DIR LOGIN_HOST LOGIN2_HOST WEB_HOST
# With "clipboard": text and a picture copied on one side arrive on the other.
# With "drives": the person's documents folder (as user-dirs.dirs names it) is a drive of the
# session, under the session user's ~/thinclient_drives, and a file in it reads back byte for
# byte; a file in the home folder itself, a hidden one and this program's settings are not there.
# With "pastefault": xrdp killed while a 300 MiB file copied in the session is being pasted here:
# nothing is left in the paste folder, the person is told in Portuguese, and the session comes
# back by itself once xrdp is up again.
# With "reconnect": xrdp killed and started again: the session reconnects by itself, its sound
# channel opens again and it stays up a minute with no channel failing.
# With "logoff": the session ended on the server (its desktop logged off) is not reconnected:
# "Desconectado" at once, Reconectar enabled, no reconnection attempt in the program's log.
# With "resize" (an Xorg session, xorgxrdp): the session's X screen has the control's size after
# signing in, after the window is resized twice, in full screen the screen's size, and the
# control's again after it. With "hidpi": the same with the program at QT_SCALE_FACTOR=2, where
# the session's screen has the control's device pixels, twice its logical size, at 200 %.
# Exits 77 (skipped) where it cannot run: not root, xrdp not installed, a build that does not
# trust the test authority, or (clipboard) a program without clipboard redirection.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=$1
zentra=$2
lookup_service=$3
wm_close=$4
netns_run=$5
test_ca=$6
provider_ca=$7
source_dir=$8
login_hosts=("$9" "${10}" "${11}")
rdp_host="rdp1.${9#*.}"
readonly kSkip=77
# How long the session must stay up after signing in.
readonly kStaySeconds=60

if [ "${ZENTRA_XRDP_TEST_NETNS:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: xrdp's sesman switches users: run as root"; exit $kSkip; }
  command -v xrdp >/dev/null && command -v Xvnc >/dev/null ||
    { echo "SKIP: xrdp or Xvnc not installed (scripts/install-deps)"; exit $kSkip; }
  [ "$provider_ca" = "$test_ca/ca.pem" ] ||
    { echo "SKIP: this build does not trust the test authority (configure with -DZENTRA_TEST_CA=ON)"; exit $kSkip; }
  [ "$mode" != clipboard ] || [ -d "$source_dir/src/principal/rdp/session/clipboard" ] ||
    { echo "SKIP: the program has no clipboard redirection yet (src/principal/rdp/session/clipboard)"; exit $kSkip; }
  case $mode in resize | hidpi)
    [ -e /usr/lib/xorg/modules/drivers/xrdpdev_drv.so ] && [ -x /usr/lib/xorg/Xorg ] ||
      { echo "SKIP: xorgxrdp not installed (scripts/install-deps)"; exit $kSkip; } ;;
  esac
fi
# The program's scale: 2 for the HiDPI case, on a screen of twice the pixels.
scale=1
[ "$mode" != hidpi ] || scale=2

source "$here/../lib.sh"
source "$here/../../support/xrdp-server.sh"
e2e_report_failed_line

# Outside the namespace: the client's X server; then the rest of this script inside it, as root
# (no user namespace), where xrdp may switch to the test user.
if e2e_outside ZENTRA_XRDP_TEST_NETNS; then
  start_xvfb $((1280 * scale))x$((1024 * scale))x24
  e2e_run_inside ZENTRA_XRDP_TEST_NETNS "$netns_run" --hosts "127.0.0.1 ${login_hosts[*]}" \
    --hosts "127.0.0.2 $rdp_host" -- "$0" "$@"
fi

source "$here/../client.sh"
readonly kUser=zentra
readonly kPassword=Xrdp-teste-7
server=$E2E_TMP/xrdp
typed=$server/home/$kUser/typed.txt
e2e_report_at_exit xrdp xrdp_stop "$E2E_TMP/zentra.log" "$server/xrdp.log" "$server/sesman.log" \
  "$server/chansrv/*.log"

file_is() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
# The codecs xrdp chose from those the program offers, as the program saw them arrive.
log_codecs() {
  grep -q 'the server sends' "$E2E_TMP/zentra.log" || fail "the program's log names no codec"
  grep -o 'the server sends.*' "$E2E_TMP/zentra.log" | sort -u | sed 's/^/-- /'
}
session_started() { [ -n "$(xrdp_session_display)" ]; }

check_session() {
  log "typing on the keyboard reaches a terminal in the session"
  xrdp_session_launch "$server/session.log" xterm -geometry 80x20+0+0 -e sh -c "cat > '$typed'"
  xrdp_session_run timeout $kLong xdotool search --sync --onlyvisible --class xterm >/dev/null ||
    fail "the terminal did not appear in the session"
  # The session has the control's size: its desktop fills the control.
  view_geometry
  # Keyboard focus in the session follows its pointer (no window manager there either).
  xdotool mousemove $((VX + 100)) $((VY + 60)) click 1
  sleep 0.5
  xdotool type --delay 40 "zentra xrdp 42"
  xdotool key Return
  eventually 20 file_is "$typed" "zentra xrdp 42" ||
    fail "the terminal in the session got '$(cat "$typed" 2>/dev/null)'"

  log "the session is still up ${kStaySeconds}s after signing in"
  while [ $((SECONDS - signed_in)) -lt $kStaySeconds ]; do
    kill -0 "$CLIENT" 2>/dev/null || fail "the program ended during the session"
    [ -z "$(alert_at)" ] || fail "a notice came up during the session"
    sleep 1
  done
  [ "$(established)" -eq 1 ] || fail "the RDP connection is gone"
  session_started || fail "the session on the server is gone"
  log "after that the session still draws: a new colour on the session's root reaches the screen"
  xrdp_session_run xsetroot -solid '#c02080' >"$E2E_TMP/xsetroot.log" 2>&1 ||
    fail "cannot set the session's root"
  view_geometry
  shows_root_colour() {
    shot "$E2E_TMP/root.png" && near "$E2E_TMP/root.png" $((VX + VW - 40)) $((VY + VH - 40)) '#c02080'
  }
  eventually 20 shows_root_colour || fail "the session's new root colour did not reach the screen"
  log_codecs
  # FreeRDP names the channel that failed; a session ended by one shows its error here.
  if grep -E '\[ERROR\]\[com\.freerdp\.channels|custom not set|ERRCONNECT|ERRINFO' \
    "$E2E_TMP/zentra.log"; then
    fail "the program's log shows a channel or connection error"
  fi
}

check_logoff() {
  log "logging off in the session: Desconectado at once, no attempt to reconnect"
  xrdp_session_logoff || fail "no session to log off"
  # Attempts would reach xrdp, which still listens, and sign in again: none may start. The
  # shipped attempts take minutes to run out, so Desconectado within this bound is no give-up.
  wait_for_alert Desconectado 30
  eventually 10 reconectar_enabled || fail "Reconectar not enabled after the logoff"
  grep 'session ended' "$E2E_TMP/zentra.log" || fail "the program's log does not say why it ended"
  grep 'ended, not lost' "$E2E_TMP/zentra.log" ||
    fail "the program's log does not say that the server ended the session"
  if grep -E 'reconnecting|trying to reconnect' "$E2E_TMP/zentra.log"; then
    fail "the program tried to reconnect after a logoff"
  fi
  eventually 10 no_connection || fail "an RDP connection is up after the logoff"
  kill -0 "$CLIENT" 2>/dev/null || fail "the program ended with the logoff"
}

check_clipboard() {
  local text="Olá, São Paulo ✓" got end owner
  # The session names the channels it loads; without the clipboard's there is nothing to test.
  if grep -q 'static channels:' "$E2E_TMP/zentra.log" &&
    ! grep -q 'static channels:.*cliprdr' "$E2E_TMP/zentra.log"; then
    echo "SKIP: the program does not load the clipboard channel yet ($(grep -m1 'static channels:' "$E2E_TMP/zentra.log"))"
    exit $kSkip
  fi
  local source=$server/home/$kUser/copied.txt
  printf '%s' "$text" >"$source"
  chmod 644 "$source"

  log "text copied in the session arrives on the local clipboard"
  # chansrv only notices a new owner after it has started watching, and the client's first format
  # list replaces what was copied before: copy again until the text arrives.
  got= end=$((SECONDS + kLong))
  while [ $SECONDS -lt $end ]; do
    xrdp_session_launch "$server/xclip.log" xclip -quiet -selection clipboard -i "$source"
    owner=${XRDP_PIDS[-1]}
    sleep 2
    got=$(timeout 5 xclip -selection clipboard -o 2>/dev/null) || true
    stop_owner "$owner"
    [ "$got" = "$text" ] && break
  done
  [ "$got" = "$text" ] || fail "the local clipboard holds '$got'"

  log "text copied locally arrives in the session"
  printf '%s' "$text" | setpriv --pdeathsig TERM xclip -quiet -selection clipboard -i &
  owner=$!
  eventually 30 remote_clipboard_is "$text" ||
    fail "the session's clipboard holds '$(remote_clipboard)'"
  stop_owner "$owner"

  log "a picture copied locally arrives in the session as a picture"
  /usr/bin/convert -size 64x48 xc:'#c83232' -fill '#3232c8' -draw 'rectangle 10,10 40,30' \
    "$E2E_TMP/picture.png"
  setpriv --pdeathsig TERM xclip -quiet -selection clipboard -t image/png -i "$E2E_TMP/picture.png" &
  owner=$!
  eventually 30 remote_picture_is "$E2E_TMP/picture.png" ||
    fail "the session's clipboard offers no such picture: $(xrdp_session_run timeout 5 xclip -selection clipboard -t TARGETS -o 2>&1 | tr '\\n' ' ')"
  stop_owner "$owner"
}

# The resize and HiDPI checks live beside this script.
. "$here/xrdp_resize.sh"

# A stale owner would answer instead of the other side: each case ends its own.
stop_owner() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

prepare_drives() {
  mkdir -p "$HOME/Documentos" "$HOME/.ssh" "$XDG_CONFIG_HOME"
  printf 'XDG_DOCUMENTS_DIR="$HOME/Documentos"\nXDG_DESKTOP_DIR="$HOME/"\n' \
    >"$XDG_CONFIG_HOME/user-dirs.dirs"
  # Not a multiple of any read size on the way, and not text.
  head -c $((300 * 1024 + 7)) /dev/urandom >"$HOME/Documentos/relatorio.bin"
  echo "home" >"$HOME/segredo-da-pasta-pessoal.txt"
  echo "hidden" >"$HOME/.segredo-oculto"
  echo "key" >"$HOME/.ssh/id_segredo"
}

session_has_drive() {
  xrdp_session_run sh -c 'ls -A ~/thinclient_drives' >"$1" 2>&1 && grep -qv '^\.clipboard$' "$1"
}

check_drives() {
  local drives=$E2E_TMP/drives.txt shared=() found
  log "the documents folder is a drive of the session"
  # chansrv mounts ~/thinclient_drives (FUSE) as the session user; root cannot look inside.
  if ! eventually 30 session_has_drive "$drives"; then
    grep -E 'rdpdr|RDPDR|devices:|device not redirected' "$E2E_TMP/zentra.log" | tail -5 || true
    fail "no drive under ~/thinclient_drives: $(tr '\n' ' ' <"$drives")"
  fi
  mapfile -t shared < <(grep -v '^\.clipboard$' "$drives")
  echo "drives in the session: ${shared[*]}"
  [ "${#shared[@]}" -eq 1 ] || fail "more than the documents folder is shared: ${shared[*]}"
  # xrdp 0.9 names a drive by its DOS name: the first 8 characters of ours.
  [ "${shared[0]}" = Document ] || [ "${shared[0]}" = Documentos ] ||
    fail "the drive is named '${shared[0]}'"

  log "a file in the documents folder reads back byte for byte in the session"
  xrdp_session_run sh -c "cat ~/thinclient_drives/${shared[0]}/relatorio.bin" \
    >"$E2E_TMP/readback.bin" || fail "the session cannot read the file"
  cmp "$HOME/Documentos/relatorio.bin" "$E2E_TMP/readback.bin" ||
    fail "the file read in the session differs"

  log "nothing of the home folder itself, nothing hidden"
  found=$(xrdp_session_run sh -c 'find ~/thinclient_drives/ -mindepth 1 -maxdepth 4 \
    -not -path "*/.clipboard*" \( -name "*segredo*" -o -name ".ssh" -o -name config \
    -o -name user-dirs.dirs \)' 2>&1) || true
  [ -z "$found" ] || fail "the session sees: $found"
  kill -0 "$CLIENT" 2>/dev/null || fail "the program ended"
}

paste_files() { find "$HOME/.cache/zentra/clipboard" -type f 2>/dev/null || true; }
# Bytes of the paste so far: the file being written has no name yet (Qt writes it unnamed and
# links it in when complete), so it is found among the program's open files.
paste_bytes() {
  local fd total=0
  for fd in /proc/"$CLIENT"/fd/*; do
    case "$(readlink "$fd" 2>/dev/null)" in
      */zentra/clipboard/paste-*) total=$((total + $(stat -L -c %s "$fd" 2>/dev/null || echo 0))) ;;
    esac
  done
  echo $total
}
paste_under_way() { [ "$(paste_bytes)" -gt $((30 * 1024 * 1024)) ]; }
paste_folder_empty() { [ -z "$(paste_files)" ]; }
local_offers_files() {
  timeout 5 xclip -selection clipboard -t TARGETS -o 2>/dev/null | grep -q '^text/uri-list$'
}

check_pastefault() {
  local big=$server/home/$kUser/grande.bin uris=$server/home/$kUser/uris.txt owner paster xrdp_pid
  # Not zeros: the channel would compress them away and the paste be over before the kill.
  head -c 300M /dev/urandom >"$big"
  printf 'file://%s\r\n' "$big" >"$uris"
  chown "$kUser" "$big" "$uris"

  log "a 300 MiB file copied in the session is offered here"
  local end=$((SECONDS + kLong))
  while [ $SECONDS -lt $end ]; do
    xrdp_session_launch "$server/xclip.log" xclip -quiet -selection clipboard -t text/uri-list -i "$uris"
    owner=${XRDP_PIDS[-1]}
    eventually 4 local_offers_files && break
    stop_owner "$owner"
  done
  local_offers_files || fail "the local clipboard offers no files"

  log "pasting it here, then xrdp killed in the middle"
  # Loopback at 200 Mbit/s in this namespace, so that the paste lasts long enough to be cut.
  tc qdisc add dev lo root tbf rate 200mbit burst 256kb latency 50ms
  timeout 120 xclip -selection clipboard -t text/uri-list -o >"$E2E_TMP/pasted.txt" 2>&1 &
  paster=$!
  eventually 60 paste_under_way || fail "the paste did not get going ($(paste_bytes) bytes)"
  # xrdp alone: sesman and the session stay, as after a crash of the server's front end.
  xrdp_pid=$(pgrep -x xrdp | head -1)
  [ -n "$xrdp_pid" ] || fail "no xrdp process"
  kill -KILL "$xrdp_pid"
  echo "killed xrdp with $(paste_bytes) bytes pasted"
  tc qdisc del dev lo root
  [ "$(paste_bytes)" -lt $((300 * 1024 * 1024)) ] || fail "the paste was over before xrdp was killed"
  eventually 60 paste_folder_empty || fail "left in the paste folder: $(paste_files)"
  wait "$paster" 2>/dev/null || true
  [ ! -s "$E2E_TMP/pasted.txt" ] || ! grep -q 'file://' "$E2E_TMP/pasted.txt" ||
    fail "the paste handed on files: $(cat "$E2E_TMP/pasted.txt")"
  eventually 10 grep -q 'told the person: "A cópia dos arquivos do Zentra foi interrompida' \
    "$E2E_TMP/zentra.log" || fail "the person was not told why the paste ended"
  wait_for_box 20 || fail "no message box about the paste"
  shot "$artifacts/paste-message.png"
  xdotool windowactivate --sync "$BOX_ID" key Return 2>/dev/null || xdotool key Return
  eventually 10 bash -c '! xdotool getwindowname '"$BOX_ID"' >/dev/null 2>&1' ||
    fail "the message box stayed"
  kill -0 "$CLIENT" 2>/dev/null || fail "the program ended"
  stop_owner "$owner"

  log "xrdp back: the session reconnects by itself"
  setpriv --pdeathsig TERM xrdp -n >>"$server/xrdp.out" 2>&1 &
  XRDP_PIDS+=($!)
  xrdp_wait_listening $kRdpPort || fail "xrdp did not come back"
  eventually 120 established_one || fail "the session did not come back"
  grep -q 'trying to reconnect' "$E2E_TMP/zentra.log" || fail "no reconnection in the program's log"
  eventually $kLong no_alert || fail "a notice stayed up after the reconnection"
}

sound_open_count() { grep -c 'the sound channel is open' "$E2E_TMP/zentra.log" || true; }
sound_open_times() { [ "$(sound_open_count)" -ge "$1" ]; }

check_reconnect() {
  local xrdp_pid
  log "the session's sound channel is open"
  eventually 30 sound_open_times 1 || fail "the sound channel did not open: $(grep -m3 -i rdpsnd "$E2E_TMP/zentra.log")"

  log "xrdp killed and started again: the session reconnects with its sound"
  xrdp_pid=$(pgrep -x xrdp | head -1)
  [ -n "$xrdp_pid" ] || fail "no xrdp process"
  kill -KILL "$xrdp_pid"
  eventually 30 no_connection || fail "the RDP connection outlived xrdp"
  setpriv --pdeathsig TERM xrdp -n >>"$server/xrdp.out" 2>&1 &
  XRDP_PIDS+=($!)
  xrdp_wait_listening $kRdpPort || fail "xrdp did not come back"
  eventually 120 grep -q 'reconnected after' "$E2E_TMP/zentra.log" ||
    fail "the session did not come back"
  [ "$(established)" -eq 1 ] || fail "no RDP connection after the reconnection"
  eventually 30 sound_open_times 2 ||
    fail "the sound channel did not open again after the reconnection"
  grep 'the sound channel is open' "$E2E_TMP/zentra.log" | sed 's/^/-- /'

  log "the session stays up ${kStaySeconds}s after the reconnection"
  local back=$SECONDS
  while [ $((SECONDS - back)) -lt $kStaySeconds ]; do
    kill -0 "$CLIENT" 2>/dev/null || fail "the program ended after the reconnection"
    [ "$(established)" -eq 1 ] || fail "the RDP connection went after the reconnection"
    sleep 1
  done
  eventually $kLong no_alert || fail "a notice stayed up after the reconnection"
  if grep -E 'a channel failed|\[ERROR\]\[com\.freerdp\.channels' "$E2E_TMP/zentra.log"; then
    fail "a channel failed after the reconnection"
  fi
  echo "-- up $((SECONDS - back))s after the reconnection, sound channel opened $(sound_open_count) times"
}

remote_clipboard() { xrdp_session_run timeout 5 xclip -selection clipboard -o 2>/dev/null || true; }
remote_clipboard_is() { [ "$(remote_clipboard)" = "$1" ]; }

# xrdp hands pictures on as CF_DIB, which its session offers as image/bmp.
remote_picture_is() {
  local got=$E2E_TMP/remote.bmp differ
  xrdp_session_run timeout 5 xclip -selection clipboard -t image/bmp -o >"$got" 2>/dev/null ||
    return 1
  [ -s "$got" ] || return 1
  # xrdp 0.9 puts a fixed file header (with a wrong file size) in front of the DIB.
  differ=$(/usr/bin/compare -define bmp:ignore-filesize=true -metric AE "$got" "$1" null: 2>&1) || true
  [ "$differ" = 0 ]
}

case $mode in resize | hidpi) export XRDP_BACKEND=Xorg XRDP_LOG_LEVEL=DEBUG ;; esac
log "xrdp ($XRDP_BACKEND) on $rdp_host:$kRdpPort with a certificate of the test authority"
"$here/../../support/test-ca" issue "$test_ca" "$rdp_host" "$E2E_TMP/certificate"
xrdp_start "$server" 127.0.0.2 $kRdpPort $kUser $kPassword \
  "$E2E_TMP/certificate/cert.pem" "$E2E_TMP/certificate/key.pem"
log "lookup on port 52"
"$lookup_service" 127.0.0.1 52 "$rdp_host;$kRdpPort" "$E2E_TMP/lookup.log" \
  >"$E2E_TMP/lookup.out" 2>&1 &
E2E_PIDS+=($!)
for _ in $(seq 100); do xrdp_listening 52 && break; sleep 0.1; done

mkdir -p "$E2E_TMP/home"
export HOME=$E2E_TMP/home XDG_CONFIG_HOME=$E2E_TMP/home/config QT_QPA_PLATFORM=xcb
[ "$scale" -eq 1 ] || export QT_SCALE_FACTOR=$scale
# The session's own log lines, and FreeRDP's warnings and errors, go to the program's output.
export QT_LOGGING_RULES="zentra.rdp.debug=true;zentra.rdp.info=true" WLOG_LEVEL=WARN
cd "$E2E_TMP"
if [ "$mode" = drives ]; then prepare_drives; fi

log "signing in: the session opens without a question and the notice goes"
start_client
sign_in $kUser $kPassword
wait_for_window "$kMainCaption" $kLong >/dev/null
signed_in=$SECONDS
eventually $kLong session_started || fail "xrdp started no session for $kUser"
eventually $kLong no_alert || fail "a notice stayed up after signing in"
[ "$(established)" -eq 1 ] || fail "no RDP connection to xrdp"

# The HiDPI case checks what the resize case does, at another scale.
"check_${mode/hidpi/resize}"

log "closing the window ends the session and the program with code 0"
close_client
eventually 10 bash -c "[ \"\$(ss -Htn state established '( sport = :$kRdpPort )' | wc -l)\" -eq 0 ]" ||
  fail "the RDP connection outlived the program"
grep -q 'ERROR: AddressSanitizer\|runtime error:' "$E2E_TMP/zentra.log" &&
  { cat "$E2E_TMP/zentra.log"; fail "sanitizer report"; }
echo "xrdp test passed"
