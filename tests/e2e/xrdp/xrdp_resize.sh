# The "resize" and "hidpi" cases of xrdp_test.sh, sourced by it: the session's X screen against
# the control's size, and the picture shown 1:1. Uses the variables and helpers xrdp_test.sh has set.

# The session's X screen as "WIDTH HEIGHT", from xdpyinfo in the session.
session_screen() {
  xrdp_session_run timeout 5 xdpyinfo 2>/dev/null |
    awk '/dimensions:/ { split($2, d, "x"); print d[1], d[2] }'
}
# What the control asks for: its size in device pixels, the width even.
view_size() {
  view_geometry
  echo "$((VW / 2 * 2)) $VH"
}
screen_is() { [ "$(session_screen)" = "$1" ]; }
# Waits for the session's screen to be $1 ("WIDTH HEIGHT"), as $2 describes.
expect_screen() {
  eventually 30 screen_is "$1" ||
    fail "$2: the session's screen is $(session_screen), not $1"
  log "$2: the session's screen is $1"
}

# True when the screen shows the session's checkered root 1:1 with its top-left pixel at $1,$2:
# in a patch, black exactly where x + y is even and white elsewhere, no grey of a scaled picture.
shows_checker() {
  local x=$1 y=$2 file=$E2E_TMP/checker.png wrong
  shot "$file"
  # The patch starts at desktop pixel (37, 41), where x + y is even: black.
  wrong=$(pixels "$file" "32x32+$((x + 37))+$((y + 41))" |
    awk '{ s = $3 + $4 + $5; black = (($1 + $2) % 2 == 0)
      if ((black && s > 60) || (!black && s < 705)) n++ } END { print n + 0 }')
  [ "$wrong" -eq 0 ] || { cp "$file" "$artifacts/checker.png"; return 1; }
}

check_resize() {
  local size w h root
  # A root of one-pixel squares shows any scaling of the remote desktop as grey.
  printf '#define checker_width 2\n#define checker_height 2\nstatic char checker_bits[] = {\n   0x01, 0x02};\n' \
    >"$E2E_TMP/checker.xbm"
  chmod 644 "$E2E_TMP/checker.xbm"
  expect_screen "$(view_size)" "signed in"
  xrdp_session_run xsetroot -bitmap "$E2E_TMP/checker.xbm" -fg black -bg white >"$E2E_TMP/xsetroot.log" 2>&1 ||
    fail "cannot set the session's root"
  view_geometry
  eventually 20 shows_checker "$VX" "$VY" ||
    fail "the remote desktop is not drawn 1:1 into the control"
  log "the remote desktop is drawn 1:1 to the screen's pixels"
  log_codecs
  view_geometry
  log "the control is $((VW / scale)) x $((VH / scale)) logical pixels, $VW x $VH on the screen"
  if [ "$scale" -eq 2 ]; then
    grep -q "asking for a desktop of .* at 200 %" "$E2E_TMP/zentra.log" ||
      fail "the program did not ask for a 200 % desktop: $(grep -m1 'asking for' "$E2E_TMP/zentra.log")"
  fi
  for size in "900 700" "1100 800"; do
    read -r w h <<<"$size"
    main_geometry
    xdotool windowsize "$MAIN_ID" $((w * scale)) $((h * scale))
    eventually 10 bash -c "xdotool getwindowgeometry '$MAIN_ID' | grep -q 'Geometry: $((w * scale))x$((h * scale))'" ||
      fail "the window did not take $w x $h"
    expect_screen "$(view_size)" "the window resized to $w x $h"
  done
  # A drag: many sizes in a moment; the session ends at the last one (layouts are paced, the last
  # always goes).
  local before after
  before=$(grep -c "display layout sent" "$E2E_TMP/zentra.log" || true)
  for w in 1000 1020 1040 1060 1080 1090; do
    xdotool windowsize "$MAIN_ID" $((w * scale)) $((780 * scale))
    sleep 0.03
  done
  eventually 10 bash -c "xdotool getwindowgeometry '$MAIN_ID' | grep -q 'Geometry: $((1090 * scale))x$((780 * scale))'" ||
    fail "the window did not take 1090 x 780"
  expect_screen "$(view_size)" "after a drag of six sizes"
  after=$(grep -c "display layout sent" "$E2E_TMP/zentra.log" || true)
  log "the drag sent $((after - before)) layouts"
  if [ "$scale" -eq 2 ]; then
    # The layouts went through the display control channel at 200 %, and reached xrdp.
    grep -q "display layout sent: .* at 200 %" "$E2E_TMP/zentra.log" ||
      fail "no layout at 200 % in the program's log"
    grep -q "dynamic_monitor_data: msg_type 2" "$server/xrdp.log" ||
      fail "xrdp logged no monitor layout"
  fi

  main_geometry
  xdotool mousemove $((WX + kTelaCheiaX * scale)) $((WY + kToolbarY * scale)) click 1
  root=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1], d[2] }')
  expect_screen "$root" "full screen"
  eventually 20 shows_checker 0 0 || fail "the full-screen desktop is not drawn 1:1"
  xdotool key ctrl+alt+Return
  expect_screen "$(view_size)" "back from full screen"
  [ "$(established)" -eq 1 ] || fail "the RDP connection did not survive the resizes"
  # xrdp 0.9 with xorgxrdp and RemoteFX sometimes loses its screen memory as the desktop changes
  # size and closes the connection as a logoff, or changes size without telling the client; the
  # session gets it back at once. Any other reconnection is a fault of ours.
  local lost got_back
  lost=$(grep -cE 'connection lost: trying to reconnect' "$E2E_TMP/zentra.log" || true)
  got_back=$(grep -cE "ended the session as it changed the desktop's size|changed the desktop's size without telling us" \
    "$E2E_TMP/zentra.log" || true)
  if [ "$lost" -gt "$got_back" ]; then
    fail "a resize cost the connection"
  fi
  [ "$got_back" -eq 0 ] || echo "-- xrdp dropped the connection on a resize $got_back time(s); got back each time"
  # What the link measured and the codecs xrdp sent, for the record.
  grep -E "link round trip|the server sends|past the desktop|without telling us" \
    "$E2E_TMP/zentra.log" | sed 's/^/-- /' || true
  # The RemoteFX run stands for a session over a slow link, where the program asks for RemoteFX.
  if [ "${ZENTRA_RDP_SURFACE_CODEC:-}" = remotefx ]; then
    grep -q 'surface bits with RemoteFX' "$E2E_TMP/zentra.log" ||
      fail "RemoteFX was asked for, but xrdp sent none"
  fi
}
