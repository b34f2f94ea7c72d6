#!/usr/bin/env bash
# Builds the Debian package from its own Release build folder (no
# sanitizers), installs it with apt-get, checks what it installed and removes
# it again, also when a check fails. Exits non-zero when any step fails.
# Needs root (apt-get). Usage: scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${FLINTOR_PACKAGE_BUILD:-$here/build-package}}
app_id=org.example.Flintor
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

fail() { echo "package-check: FAILED: $*" >&2; exit 1; }
# Other apt-get runs on the machine hold dpkg's lock for a while: wait for it.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

if dpkg-query -W -f='${Status}' flintor 2>/dev/null | grep -q "install ok installed"; then
  # In CI that is a leftover of an earlier, interrupted check; elsewhere it
  # may be someone's installation, which is not ours to remove.
  if [ "${CI:-}" = true ]; then
    echo "package-check: removing a flintor package left by an earlier run"
    apt_get remove -y --purge flintor >/dev/null
  else
    fail "a flintor package is installed already; remove it first (apt-get remove flintor)"
  fi
fi

bash "$here/scripts/install-deps.sh" --package
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFLINTOR_SANITIZE=OFF -DFLINTOR_TESTS=OFF >/dev/null
cmake --build "$build"
rm -f "$build"/flintor_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/flintor_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single flintor_*.deb in $build"
deb=${debs[0]}
echo "package-check: built $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = flintor ] || fail "package name is not flintor"
[ "$(dpkg-deb -f "$deb" Version)" = 1.51 ] || fail "package version is not 1.51"
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "Depends lacks the Qt libraries: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Recommends | grep -q udisks2 || fail "Recommends lacks udisks2"

cleanup() {
  local status=$?
  if dpkg-query -W -f='${Status}' flintor 2>/dev/null | grep -q "install ok installed"; then
    if ! apt_get remove -y --purge flintor >/dev/null; then
      echo "package-check: FAILED: could not remove the flintor package" >&2
      status=1
    fi
  fi
  exit "$status"
}
trap cleanup EXIT
apt_get install -y --no-install-recommends "$deb" >/dev/null \
  || fail "apt-get could not install $deb"

# The installed programs answer without a display.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/flintor --version) \
  || fail "/usr/bin/flintor --version exited non-zero"
[ "$version" = "Flintor 1.51" ] || fail "/usr/bin/flintor --version printed '$version'"
if [ -e "$build/src/cli/flintor-cli" ]; then
  [ -x /usr/bin/flintor-cli ] || fail "flintor-cli was built but is not installed in /usr/bin"
  env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/flintor-cli --version >/dev/null \
    || fail "/usr/bin/flintor-cli --version exited non-zero"
  [ -f /usr/share/man/man1/flintor-cli.1.gz ] || fail "no manual page of flintor-cli"
fi

desktop-file-validate "/usr/share/applications/$app_id.desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" || fail "metainfo does not validate"
[ -f "/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "no scalable icon"
for size in 16 32 48 64 128 256; do
  [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png" ] || fail "no ${size}x${size} icon"
done
zcat /usr/share/man/man1/flintor.1.gz | grep -q -- "--include-loop" || fail "the manual page lacks the options"

echo "package-check: all checks passed"
