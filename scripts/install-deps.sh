#!/usr/bin/env bash
# Installs the Debian packages Flintor needs. Safe to run again: apt-get
# skips what is already there.
#   install-deps.sh            what building and running Flintor need
#   install-deps.sh --package  that, plus the tools that make the Debian package
#   install-deps.sh --tests    all of the above, plus the tools only the tests,
#                              the fuzzer and the benchmarks use
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
want_package=false
want_tests=false
for arg in "$@"; do
  case "$arg" in
    --package) want_package=true ;;
    --tests) want_package=true; want_tests=true ;;
    *) echo "install-deps.sh: unknown option $arg (use --package or --tests)" >&2; exit 2 ;;
  esac
done

# Building and running Flintor (a line per concern; add yours here).
RUN_PKGS=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl1-mesa-dev
  libcurl4-openssl-dev libssl-dev openssl zlib1g-dev libblkid-dev libudev-dev
  # the camera of a card: Exif data of its photos (JPEG, CR2, CR3)
  libexiv2-dev
  dosfstools exfatprogs util-linux
  fonts-dejavu-core
)

# Making and checking the Debian package (cpack, dpkg-shlibdeps, manual
# pages, the desktop entry and metainfo checkers).
PACKAGE_PKGS=(
  dpkg-dev file help2man desktop-file-utils appstream
)

# Only the tests, the fuzzer and the benchmarks (a line per concern; add yours
# here): unit-test framework, FUSE file systems for card images, zip tools and
# servers, a virtual display, clang for fuzzing, test fonts.
TEST_PKGS=(
  libgtest-dev googletest
  exfat-fuse fusefat fuse3
  zip unzip curl python3
  xvfb xauth imagemagick
  clang libclang-rt-14-dev
  fonts-liberation
  # card images: sfdisk writes MBR and GPT tables
  fdisk
  # free-space counting is checked on FAT images filled without a mount
  mtools
  # a card that drops writes is a small file system in user space
  python3-fusepy
  # photos with known Exif data for the command line's tests
  exiv2
  # the download benchmark serves its files with busybox httpd
  busybox
  # access without root: the tests start a system bus, udev, polkit and
  # udisks2 of their own (users only need udisks2, and it is only recommended:
  # without it Flintor opens the devices directly)
  dbus udev polkitd udisks2
)

PKGS=("${RUN_PKGS[@]}")
if $want_package; then PKGS+=("${PACKAGE_PKGS[@]}"); fi
if $want_tests; then PKGS+=("${TEST_PKGS[@]}"); fi

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Waits for dpkg's lock when another apt-get is running.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi
