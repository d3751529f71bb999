#!/usr/bin/env bash
# The reference viewer site showing a 50 MB STL, a 20 MB STEP part, a 50 MB zip bundle and a
# STEP assembly placing one part once and 50 times:
# launched through the application and its bridge page, beside the same site fetching the
# file itself with ?url= (the floor), with the phases of the bridge path; the STL and the
# bundle also through the viewer built into the application. Median of 5 each.
# Usage: bench/viewer-site.sh BUILD_DIR [stl|step|zip|stp]
set -euo pipefail
build=${1:?usage: bench/viewer-site.sh BUILD_DIR}
cd "$(dirname "$0")/.."
VEXMOOR_EXECUTABLE="$build/vexmoor-3dviewer" node bench/viewer-site.mjs "${2:-}"
