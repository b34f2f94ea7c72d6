#!/usr/bin/env bash
# Installs the Debian packages Flintor needs to build, run and test.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
PKGS=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl1-mesa-dev
  libcurl4-openssl-dev libssl-dev openssl zlib1g-dev libblkid-dev libudev-dev
  libgtest-dev googletest
  dosfstools exfatprogs exfat-fuse fusefat fuse3 util-linux
  zip unzip curl xvfb xauth python3 imagemagick
  clang libclang-rt-14-dev
  fonts-dejavu-core fonts-liberation
  # card-image tests: sfdisk writes MBR and GPT tables
  fdisk
)
# The download benchmark serves its files with busybox httpd.
PKGS+=(busybox)
# Test-only: the tests of access without root start a system bus, udev,
# polkit and udisks2 of their own. (Users only need udisks2, and it is only
# recommended: without it Flintor opens the devices directly.)
PKGS+=(dbus udev polkitd udisks2)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
