#!/usr/bin/env bash
# Starts Flintor under a virtual X display and saves a picture of its window.
# Usage: scripts/screenshot.sh OUTPUT.png [BUILD_DIR] [-- flintor options]
set -euo pipefail
out=${1:?output png}
build=${2:-build}
shift $(( $# >= 2 ? 2 : 1 ))
[ "${1:-}" = "--" ] && shift
here=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/src/app/flintor"
[ -x "$bin" ] || bin="$here/$build/src/app/flintor"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="${XDG_CONFIG_HOME:-$tmp/config}" XDG_CACHE_HOME="${XDG_CACHE_HOME:-$tmp/cache}"
export FLINTOR_SCREENSHOT="$out" FLINTOR_SCREENSHOT_DELAY_MS="${FLINTOR_SCREENSHOT_DELAY_MS:-1500}"
xvfb-run -a -s "-screen 0 800x600x24" "$bin" "$@"
echo "saved $out"
