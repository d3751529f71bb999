#!/usr/bin/env bash
# Start-up of the application serving a small document beside a minimal Qt Widgets program.
# Usage: bench/startup.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/startup.sh BUILD_DIR}
cd "$(dirname "$0")/.."
python3 bench/startup.py "$build" "$PWD/viewer-site/samples/cube.stl"
