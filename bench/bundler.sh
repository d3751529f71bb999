#!/usr/bin/env bash
# Texture scanning (ours vs a plain read pass, and PCRE2-JIT once) and bundle writing (ours vs
# cp and cp + zip -0 -r; a glTF with its files vs cp -r), same run, same machine: ours and the
# reference alternate, ROUNDS rounds each (7 unless set, at least 5), and each row prints the
# median ratio with its range. Usage: bench/bundler.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/bundler.sh BUILD_DIR}
rounds=${ROUNDS:-7}
work=$(mktemp -d "${TMPDIR:-/tmp}/vexmoor-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
for mode in scan bundle gltf; do
  TMPDIR="$work" "$build/vexmoor-bundler-bench" "$mode" "$work" "$rounds"
done
