#!/usr/bin/env bash
# The bridge page's ready path in Chromium with a 100 MB file.
# Usage: bench/bridge.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/bridge.sh BUILD_DIR}
cd "$(dirname "$0")/.."
VEXMOOR_EXECUTABLE="$build/vexmoor-3dviewer" node bench/bridge-ready.mjs
