#!/usr/bin/env bash
# Sets everything up, then filters the bundled sample volume with the default
# parameters into Output.raw (and its header Output.mhd) in the working folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" >&2
"$root/build/bin/voluna-filter" "$root/data/crossing-tubes.mhd" "$@"
echo "Wrote $(pwd)/Output.raw and $(pwd)/Output.mhd" >&2
