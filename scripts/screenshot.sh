#!/usr/bin/env bash
# Starts Flintor under a virtual X display and saves a picture of its window
# at the window's real size.
# Usage: scripts/screenshot.sh [--dark] [--card] OUTPUT.png [BUILD_DIR] [-- flintor options]
#   --dark  a dark theme (light text on dark grey) instead of the light default
#   --card  show a card: a 64 MB exFAT image labelled EOS_DIGITAL on a loop
#           device of its own (needs root, losetup and mkfs.exfat), listed
#           with --include-loop; the loop device is detached afterwards
set -euo pipefail
dark=false
card=false
while [ $# -gt 0 ]; do
  case "$1" in
    --dark) dark=true; shift ;;
    --card) card=true; shift ;;
    *) break ;;
  esac
done
out=${1:?output png}
build=${2:-build}
shift $(( $# >= 2 ? 2 : 1 ))
[ "${1:-}" = "--" ] && shift
here=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/src/app/flintor"
[ -x "$bin" ] || bin="$here/$build/src/app/flintor"
tmp=$(mktemp -d)
loop=""
cleanup() {
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="${XDG_CONFIG_HOME:-$tmp/config}" XDG_CACHE_HOME="${XDG_CACHE_HOME:-$tmp/cache}"
export FLINTOR_SCREENSHOT="$out" FLINTOR_SCREENSHOT_DELAY_MS="${FLINTOR_SCREENSHOT_DELAY_MS:-1500}"
if $dark; then export FLINTOR_SCREENSHOT_PALETTE=dark; fi
extra=()
if $card; then
  truncate -s 64M "$tmp/card.img"
  mkfs.exfat -L EOS_DIGITAL "$tmp/card.img" >/dev/null
  loop=$(losetup -f --show "$tmp/card.img")
  extra+=(--include-loop)
fi
xvfb-run -a -s "-screen 0 800x600x24" "$bin" "${extra[@]}" "$@"
echo "saved $out"
