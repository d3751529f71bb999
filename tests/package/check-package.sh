#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it unpacked into a temporary root
# (never installed): the validators accept it, its executable runs, and every declared
# extension has a content type that the desktop lets this package's application open.
set -euo pipefail
build=${1:?usage: check-package.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/vexmoor-3dviewer_*_amd64.deb)
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dpkg-deb -x "$deb" "$work/root"
share="$work/root/usr/share"
# As if installed at the root: the desktop hides an application whose program is missing.
sed -i "s|=/usr/bin/|=$work/root/usr/bin/|" "$share/applications/com.vexmoor.3DViewer.desktop"
# What the system's triggers would do after installing it.
update-mime-database "$share/mime" >/dev/null 2>&1
update-desktop-database "$share/applications"

# The built-in viewer: its page, scripts and engines, where the installed executable looks.
viewer="$share/vexmoor-3dviewer/viewer"
for file in app/viewer.html app/viewer.js app/viewer.css vendor/bundle/vendor.js vendor/occt/occt-import-js.wasm \
  vendor/web-ifc/web-ifc.wasm vendor/three/examples/jsm/libs/rhino3dm/rhino3dm.wasm api/viewer-formats.json; do
  [ -f "$viewer/$file" ] || fail "the built-in viewer lacks $file"
done
for file in "$(dirname "$0")"/../../viewer-site/public/*; do
  [ -f "$viewer/app/$(basename "$file")" ] || fail "the built-in viewer lacks public/$(basename "$file")"
done

lintian --fail-on error --suppress-tags unknown-field "$deb" >"$work/lintian" 2>&1 || { cat "$work/lintian"; fail lintian; }
desktop-file-validate "$share/applications/com.vexmoor.3DViewer.desktop" || fail desktop-file-validate
# Several files selected at once reach one process.
grep -q '^Exec=.* %F$' "$share/applications/com.vexmoor.3DViewer.desktop" || fail "Exec does not take %F"
completion="$share/bash-completion/completions/vexmoor-3dviewer"
bash -c 'source "$0" && complete -p vexmoor-3dviewer' "$completion" >/dev/null || fail "no bash completion"
grep -q ' stl ' "$completion" || fail "the completion lacks the declared extensions"
appstreamcli validate --no-net --pedantic "$share/metainfo/com.vexmoor.3DViewer.metainfo.xml" >"$work/appstream" 2>&1 ||
  { cat "$work/appstream"; fail appstreamcli; }

# A home of its own, seeing the unpacked root and the machine's MIME data, nothing else.
home() {
  local dir="$work/$1"
  mkdir -p "$dir/home" "$dir/config" "$dir/data" "$dir/dirs" "$dir/runtime"
  ln -sfn /usr/share/mime "$dir/dirs/mime"
  echo "HOME=$dir/home XDG_CONFIG_HOME=$dir/config XDG_DATA_HOME=$dir/data XDG_RUNTIME_DIR=$dir/runtime \
XDG_CONFIG_DIRS=$dir/config-dirs XDG_DATA_DIRS=$share:$dir/dirs TMPDIR=$work"
}
status=$(env -i PATH="$PATH" $(home status) "$work/root/usr/bin/vexmoor-3dviewer" --status) || fail "--status"
types=$(printf '%s' "$status" | python3 -c 'import json,sys; [print(t["extension"], t["resolvedType"]) for t in json.load(sys.stdin)["types"]]')
[ "$(printf '%s\n' "$types" | wc -l)" -eq 28 ] || fail "28 declared extensions, got: $types"
in_use=$(printf '%s' "$status" | python3 -c 'import json,sys; print(json.load(sys.stdin)["viewer"]["builtinInstalled"])')
[ "$in_use" = True ] || fail "the installed executable does not find its built-in viewer"
clean=$(home clean)
# grep reads all of gio's answer: with -q it could stop early and, under pipefail, the
# SIGPIPE gio then gets would count as a failure.
lists_ours() { env -i PATH="$PATH" $clean gio mime "$1" | grep 'com.vexmoor.3DViewer.desktop' >/dev/null; }
while read -r extension type; do
  [ -n "$type" ] || { fail "$extension has no content type"; continue; }
  lists_ours "$type" || {
    env -i PATH="$PATH" $clean gio mime "$type"
    fail "$extension ($type) cannot be opened with the packaged application"
  }
done <<<"$types"

echo "$(printf '%s\n' "$types" | wc -l) extensions checked, $failures failures"
[ "$failures" -eq 0 ]
