#!/bin/sh
# Loading the camera of a card with 5,000 photos: on a tmpfs folder (8 MB
# photos, sparse), and, as root with exfat-fuse, on an exFAT card image on a
# loop device mounted through FUSE (mounted afresh before the first read).
# Prints figures only.
# Usage: camera_bench.sh PATH/TO/camera_bench
set -eu
bench=${1:?path to camera_bench}
count=5000
work=$(mktemp -d /dev/shm/flintor-camera-bench.XXXXXX)
loop=""
cleanup() {
    if mountpoint -q "$work/mnt" 2>/dev/null; then umount "$work/mnt" || true; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
echo "-- tmpfs, $count photos of 8 MB"
"$bench" make "$count" 8192 "$work/tmpfs" > /dev/null
"$bench" "$work/tmpfs"
rm -rf "$work/tmpfs"
if [ "$(id -u)" != 0 ] || ! command -v mount.exfat-fuse >/dev/null || ! command -v mkfs.exfat >/dev/null; then
    echo "-- FUSE card skipped: needs root, mkfs.exfat and exfat-fuse"
    exit 0
fi
echo "-- exFAT card image on a loop device through exfat-fuse, $count photos"
truncate -s 512M "$work/card.img"
mkfs.exfat -L EOS_DIGITAL "$work/card.img" >/dev/null
mkdir "$work/mnt"
# Loop devices and FUSE mounts are shared with other test runs: one at a time.
exec 9>/tmp/flintor-devices.lock
flock 9
loop=$(losetup -f --show "$work/card.img")
mount.exfat-fuse "$loop" "$work/mnt"
"$bench" make "$count" 0 "$work/mnt" > /dev/null
umount "$work/mnt"
mount.exfat-fuse "$loop" "$work/mnt"
"$bench" "$work/mnt"
