#!/usr/bin/env bash
# Installs the Debian package the way a person would and checks what they rely on: `zentra` on
# the PATH prints its version without a display, the menu entry passes desktop-file-validate, the
# icons sit where the hicolor theme looks, the software-centre record validates, the manual page
# is found. Needs root (apt-get). Not a ctest: it builds a Release tree and installs system-wide.
#
#   tests/package/install_check.sh              build with scripts/package, check on this machine
#   tests/package/install_check.sh --root DIR   check inside a Debian 12 root made by debootstrap
#                                               (e.g. debootstrap bookworm DIR); apt there
#                                               fetches the dependencies
#   ZENTRA_DEB=path/to/zentra_x_amd64.deb       use that package instead of building one
#   ZENTRA_KEEP_INSTALLED=1                     leave the package installed afterwards
set -euo pipefail
cd "$(dirname "$0")/../.."

root=
if [ "${1:-}" = --root ]; then
  root=$(realpath "$2")
  [ -x "$root/usr/bin/apt-get" ] || { echo "install_check: $root is not a Debian root" >&2; exit 2; }
fi
[ "$(id -u)" -eq 0 ] || { echo "install_check: needs root for apt-get" >&2; exit 2; }

deb=${ZENTRA_DEB:-}
if [ -z "$deb" ]; then
  bash scripts/package
  deb=$(ls build-package/zentra_*.deb)
fi
deb=$(realpath "$deb")
version=$(dpkg-deb --field "$deb" Version)

# Runs a command on the system under test: this machine, or the root through chroot.
in_root() {
  if [ -n "$root" ]; then chroot "$root" env -u DISPLAY -u WAYLAND_DISPLAY "$@"; else
    env -u DISPLAY -u WAYLAND_DISPLAY "$@"; fi
}

failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

export DEBIAN_FRONTEND=noninteractive
if [ -n "$root" ]; then
  cp "$deb" "$root/tmp/"
  for fs in proc sys dev; do mountpoint -q "$root/$fs" || mount --bind "/$fs" "$root/$fs"; done
  trap 'for fs in dev sys proc; do umount "$root/$fs" 2>/dev/null || true; done' EXIT
  in_root apt-get update -qq
  in_root apt-get install -y -qq --no-install-recommends desktop-file-utils appstream man-db file >/dev/null
  in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >/dev/null
else
  # apt-get install wants a path that looks like one.
  apt-get install -y -qq "$deb" >/dev/null
fi
echo "installed zentra $version"

out=$(in_root zentra --version) || true
check "zentra --version prints \"zentra $version\" without a display (got \"$out\")" \
  test "$out" = "zentra $version"
session_library=$(in_root sh -c 'find /usr/lib -name libzentra-rdp-session.so' | head -n 1)
check "the remote desktop library is installed (got \"$session_library\")" test -n "$session_library"
check "every library it needs is there" in_root sh -c "! ldd '$session_library' | grep -q 'not found'"
check "zentra is /usr/bin/zentra on the PATH" test "$(in_root sh -c 'command -v zentra')" = /usr/bin/zentra
check "desktop-file-validate passes on the menu entry" \
  in_root desktop-file-validate /usr/share/applications/zentra.desktop
check "the menu entry starts zentra with the zentra icon" in_root sh -c \
  'grep -qx "Exec=zentra" /usr/share/applications/zentra.desktop &&
   grep -qx "Icon=zentra" /usr/share/applications/zentra.desktop'
for size in 16 32 48 64 128 256; do
  icon=/usr/share/icons/hicolor/${size}x${size}/apps/zentra.png
  check "icon $icon is a ${size}x${size} PNG" in_root sh -c \
    "file -b '$icon' | grep -q '^PNG image data, $size x $size,'"
  # The theme looks only in the folders its index names.
  check "the hicolor theme looks in ${size}x${size}/apps" in_root \
    grep -qx "\[${size}x${size}/apps\]" /usr/share/icons/hicolor/index.theme
done
check "appstreamcli validates the metainfo record" in_root \
  appstreamcli validate --no-net /usr/share/metainfo/com.zentracomputing.zentra.metainfo.xml
check "man finds the zentra(1) page" in_root man -w zentra

if [ "${ZENTRA_KEEP_INSTALLED:-0}" != 1 ]; then
  in_root apt-get purge -y -qq zentra >/dev/null
  echo "removed zentra again (ZENTRA_KEEP_INSTALLED=1 keeps it)"
fi

if [ $failures -ne 0 ]; then
  echo "install_check: $failures check(s) FAILED"
  exit 1
fi
echo "install_check: all passed"
