# The client's side of the end-to-end scripts: the shipped program driven as a person drives it,
# and what its windows show, read from screenshots. Source it after lib.sh, with $zentra (the
# program) and $wm_close (tools/wm_close) set; the program's output goes to $E2E_TMP/zentra.log.
#   start_client / sign_in USER PASSWORD / close_client   run, sign in, close the session window
#   wait_for_alert Conectando|Desconectado / no_alert     the pop-up notice
#   main_geometry / view_geometry / desktop_origin        where the session window, the control
#                                                         and a 1024 x 768 desktop are
#   established                                           RDP connections up on port $kRdpPort
#   wait_for_box / box_looks_like                         the program's message box
#   shows_pattern / wait_for_pattern                      the provider's picture (provider.sh) in
#                                                         the session window

readonly kMainCaption="Zentra Computing - Quorvel"
readonly kLoginCaption="Login Zentra Computing"
readonly kRdpPort=3389
# The program is slower under the sanitizers: every wait below is generous but bounded.
readonly kLong=60
# Colours on screen and on the wire differ a little (the server's codecs are lossy).
readonly kTolerance=40

# Toolbar buttons: centres of "Tela Cheia", "Reconectar" and "Teclado Virtual" in the session
# window.
readonly kTelaCheiaX=46 kReconectarX=142 kTecladoX=238 kToolbarY=11
readonly kToolbarHeight=25 kLabelHeight=13 kKeyboardHeight=180 kKeyRowHeight=36
readonly kDesktopW=1024 kDesktopH=768

log() { echo "-- $*"; }

shot() { /usr/bin/import -window root "$1"; }

# Prints the pixels of a region of a screenshot, one "x y r g b" line each.
pixels() {
  /usr/bin/convert "$1" -crop "$2" +repage -depth 8 txt:- |
    awk -F'[(,): ]+' 'NR > 1 { print $1, $2, $3, $4, $5 }'
}

# True when the pixel at x,y of a screenshot is within the tolerance of colour #rrggbb.
near() {
  local file=$1 x=$2 y=$3 want=$4
  pixels "$file" "1x1+$x+$y" |
    awk -v r=$((16#${want:1:2})) -v g=$((16#${want:3:2})) -v b=$((16#${want:5:2})) -v t="$kTolerance" '
      function d(a, b) { return a > b ? a - b : b - a }
      { exit !(d($3, r) <= t && d($4, g) <= t && d($5, b) <= t) }'
}

# Runs a check repeatedly until it holds, at most $1 seconds.
eventually() {
  local limit=$1 end
  shift
  end=$((SECONDS + limit))
  while [ $SECONDS -lt $end ]; do
    if "$@"; then return 0; fi
    sleep 0.2
  done
  return 1
}

# The session window's place: sets WX WY WW WH.
main_geometry() {
  local id
  id=$(xdotool search --onlyvisible --name "^${kMainCaption}\$" 2>/dev/null | head -1) || true
  [ -n "$id" ] || fail "the session window is not on the screen"
  eval "$(xdotool getwindowgeometry --shell "$id")"
  WX=$X WY=$Y WW=$WIDTH WH=$HEIGHT MAIN_ID=$id
}

# The control's place on the screen, in the X server's pixels: sets VX VY VW VH. It fills the
# window between the toolbar and the version label (less the keyboard while it shows); the
# program's scale (QT_SCALE_FACTOR, 1 unless set) multiplies their heights.
view_geometry() {
  local keyboard=${1:-0} scale=${QT_SCALE_FACTOR:-1}
  main_geometry
  VX=$WX VY=$((WY + kToolbarHeight * scale)) VW=$WW
  VH=$((WH - (kToolbarHeight + kLabelHeight + keyboard * kKeyboardHeight) * scale))
}

# Where the remote desktop's top-left pixel is on the screen: sets DX DY. The control centres a
# 1024 x 768 desktop (freerdp-shadow-cli keeps its own size) when the view is larger.
desktop_origin() {
  view_geometry "${1:-0}"
  DX=$((VX + (VW - kDesktopW) / 2))
  DY=$((VY + (VH - kDesktopH) / 2))
}

# The pop-up: prints "x y id" of the visible 329 x 76 window of the program, or nothing.
alert_at() {
  local id
  for id in $(xdotool search --onlyvisible --classname '^zentra$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if [ "$WIDTH" = 329 ] && [ "$HEIGHT" = 76 ]; then
      echo "$X $Y $id"
      return 0
    fi
  done
  return 0
}

# What the pop-up at x,y of a screenshot says, told by its icon: the disconnected globe carries a
# red badge, the connecting one none. Sets ALERT_KIND, and ALERT_INK, the width of the message's
# ink in pixels.
alert_kind() {
  local file=$1 x=$2 y=$3 red
  red=$(pixels "$file" "56x56+$((x + 4))+$((y + 8))" |
    awk '$3 > 180 && $4 < 90 && $5 < 90 { n++ } END { print n + 0 }')
  ALERT_INK=$(pixels "$file" "240x22+$((x + 62))+$((y + 22))" |
    awk '$3 + $4 + $5 < 250 { if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1 }
         END { print (min == "" ? 0 : max - min + 1) }')
  if [ "$red" -gt 40 ]; then ALERT_KIND=Desconectado; else ALERT_KIND=Conectando; fi
}

# Waits for the pop-up to show $1 ("Conectando" or "Desconectado"); a picture of it taken while
# it is up proves what it shows. Only the pop-up's window is taken: "Conectando" stays up only as
# long as connecting takes, often less than a whole screen's picture on a busy machine. Sets
# ALERT_X ALERT_Y and the ink width of that message.
declare -A INK
wait_for_alert() {
  local want=$1 bound=${2:-$kLong} at id file=$E2E_TMP/alert.png
  local end=$((SECONDS + bound))
  while [ $SECONDS -lt $end ]; do
    at=$(alert_at)
    if [ -n "$at" ]; then
      read -r ALERT_X ALERT_Y id <<<"$at"
      # Still up after the picture: the picture shows it.
      if /usr/bin/import -window "$id" "$file" 2>/dev/null && [ "$(alert_at)" = "$at" ]; then
        alert_kind "$file" 0 0
        if [ "$ALERT_KIND" = "$want" ]; then
          INK[$want]=$ALERT_INK
          return 0
        fi
      fi
    fi
    sleep 0.05
  done
  fail "no '$want' pop-up within ${bound}s"
}

no_alert() { [ -z "$(alert_at)" ]; }

# "Reconectar" enabled draws its caption in the window-text colour, disabled in grey.
reconectar_enabled() {
  local file=$E2E_TMP/toolbar.png dark
  shot "$file"
  main_geometry
  dark=$(pixels "$file" "80x18+$((WX + 102))+$((WY + 2))" |
    awk 'BEGIN { m = 765 } { s = $3 + $4 + $5; if (s < m) m = s } END { print m }')
  [ "$dark" -lt 180 ]
}
reconectar_disabled() { ! reconectar_enabled; }



file_is() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }

established() { ss -Htn state established "( sport = :$kRdpPort )" | grep -c . || true; }
no_connection() { [ "$(established)" -eq 0 ]; }
established_one() { [ "$(established)" -eq 1 ]; }


sign_in() {
  local user=$1 password=$2 login
  local scale=${QT_SCALE_FACTOR:-1}
  login=$(wait_for_window "$kLoginCaption" $kLong)
  # No window manager: the keyboard follows the pointer; clicking a field focuses it.
  xdotool mousemove --window "$login" $((420 * scale)) $((100 * scale)) click 1
  xdotool type --delay 30 "$user"
  xdotool mousemove --window "$login" $((420 * scale)) $((164 * scale)) click 1
  xdotool type --delay 30 "$password"
  xdotool key Return
}

start_client() {
  "$zentra" "$@" >>"$E2E_TMP/zentra.log" 2>&1 &
  CLIENT=$!
  E2E_PIDS+=($CLIENT)
}

close_client() {
  main_geometry
  "$wm_close" "$MAIN_ID"
  wait_for_exit "$CLIENT" $kLong
  [ "$E2E_EXIT" -eq 0 ] || { tail -30 "$E2E_TMP/zentra.log"; fail "exit code $E2E_EXIT"; }
}

# The server's picture inside the control: the middle of each quarter, and the desktop's edges
# (the quarters' colours just inside, the control's dark background just outside).
shows_pattern() {
  local keyboard=${1:-0} file=$E2E_TMP/session.png c=("${PROVIDER_PATTERN[@]}")
  desktop_origin "$keyboard"
  shot "$file"
  near "$file" $((DX + 256)) $((DY + 192)) "${c[0]}" &&
    near "$file" $((DX + 768)) $((DY + 192)) "${c[1]}" &&
    near "$file" $((DX + 256)) $((DY + 576)) "${c[2]}" &&
    near "$file" $((DX + 1000)) $((DY + 740)) "${c[3]}" &&
    near "$file" $((DX + 2)) $((DY + 765)) "${c[2]}" &&
    near "$file" $((DX + 1021)) $((DY + 2)) "${c[1]}" &&
    ! near "$file" $((DX - 3)) $((DY + 765)) "${c[2]}" &&
    ! near "$file" $((DX + 1026)) $((DY + 2)) "${c[1]}" &&
    ! near "$file" $((DX + 1021)) $((DY - 3)) "${c[1]}"
}

# The server sends a new client nothing of a still screen: repaint it until the picture arrives.
wait_for_pattern() {
  local keyboard=${1:-0} end=$((SECONDS + kLong))
  while [ $SECONDS -lt $end ]; do
    provider_repaint
    if eventually 3 shows_pattern "$keyboard"; then return 0; fi
  done
  cp "$E2E_TMP/session.png" "$artifacts/no-pattern.png" 2>/dev/null || true
  fail "the server's picture did not appear inside the control"
}

# Finds the program's open message box: a window of the program that is neither the login
# window, the session window nor the pop-up notice. Sets BOX_ID ("" when none).
find_box() {
  local id name parent
  BOX_ID=
  for id in $(xdotool search --onlyvisible --classname '^zentra$' 2>/dev/null); do
    # A box is a window of its own: a native child inside one of ours (the session view's
    # directly drawn desktop) carries the class too, and is not one.
    parent=$(xwininfo -children -id "$id" 2>/dev/null | awk '/Parent window id/ {print $4}')
    [ -n "$parent" ] && xprop -id "$parent" WM_CLASS 2>/dev/null | grep -q '"zentra"' && continue
    name=$(xdotool getwindowname "$id" 2>/dev/null) || continue
    [ "$name" = "$kLoginCaption" ] || [ "$name" = "$kMainCaption" ] && continue
    eval "$(xdotool getwindowgeometry --shell "$id")"
    { [ "$WIDTH" = 329 ] && [ "$HEIGHT" = 76 ]; } && continue
    BOX_ID=$id
    return 0
  done
}

# Waits up to $1 seconds for a message box; sets BOX_ID. False when none came.
wait_for_box() {
  local end=$((SECONDS + $1))
  while [ $SECONDS -lt $end ]; do
    find_box
    [ -n "$BOX_ID" ] && return 0
    sleep 0.2
  done
  return 1
}

# True when two message boxes look the same to the pixel: the same text in the same font, as
# no screen reading could tell more exactly. $1 is the box's window, $2 a picture of the other.
box_looks_like() {
  local file=$E2E_TMP/box.$RANDOM.png differ
  sleep 0.5
  /usr/bin/import -window "$1" "$file"
  differ=$(/usr/bin/compare -metric AE "$file" "$2" null: 2>&1) || true
  [ "$differ" = 0 ]
}
