#!/usr/bin/env bash
# Runs the view's X11 cases against a private Xvfb.
set -euo pipefail
source "$(dirname "$0")/../../e2e/lib.sh"
start_xvfb 640x480x24
QT_QPA_PLATFORM=xcb timeout 40 "$1"
