#!/usr/bin/env bash
# Texture scanning (ours vs PCRE2-JIT, plain reads) and bundle writing (ours vs cp and
# cp + zip -0 -r; a glTF with its files vs cp -r), same run, same machine. Usage: bench/bundler.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/bundler.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/vexmoor-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
TMPDIR="$work" "$build/vexmoor-bundler-bench" scan "$work"
TMPDIR="$work" "$build/vexmoor-bundler-bench" bundle "$work"
TMPDIR="$work" "$build/vexmoor-bundler-bench" gltf "$work"
