#!/usr/bin/env bash
# The CAx-IF STEP and IGES test files that ship with the occt-import-js package, each opened
# through the application and its bridge page in the reference viewer site: drawn, blank or
# an error, and the time of each.
# Usage: bench/cax-if.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/cax-if.sh BUILD_DIR}
cd "$(dirname "$0")/.."
VEXMOOR_EXECUTABLE="$build/vexmoor-3dviewer" node bench/cax-if.mjs
