#!/usr/bin/env bash
# Runs the X11 case of the system keyboard test against a private Xvfb.
set -euo pipefail
source "$(dirname "$0")/../../e2e/lib.sh"
start_xvfb 640x480x24
ZENTRA_X11_KEYBOARD_TEST=1 timeout 40 "$1" --gtest_filter='SystemKeyboardX11.*'
