#!/usr/bin/env bash
# Makes docs/screenshot.png: the viewer under Xvfb with the sample volume in
# the upper view and its filtered result (the form's initial parameters) in
# the lower one, both seen through one camera; and docs/slices.png: the middle
# axial slice of the sample and of its result with "Preserve edges".
#   scripts/screenshot.sh [BUILD_FOLDER]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

if [ ! -f "$build/CMakeCache.txt" ]; then
  bash scripts/setup.sh
fi
cmake --build "$build" --target voluna-window-screenshot

# The window writes Output.raw into its working folder: keep that out of the tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p docs
cd "$work"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$root/$build/bin/voluna-window-screenshot" "$root/data/crossing-tubes.mhd" "$root/docs/screenshot.png" "$root/docs/slices.png"
echo "screenshot: wrote docs/screenshot.png and docs/slices.png"
