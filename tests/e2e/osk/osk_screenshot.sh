#!/usr/bin/env bash
# Shows the on-screen keyboard on a private Xvfb and checks the colours on the screen.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
start_xvfb 1024x768x24
ZENTRA_OSK_SCREENSHOT="$2" QT_QPA_PLATFORM=xcb timeout 60 "$1" --gtest_filter='OskScreen.*'
