#!/usr/bin/env bash
# Installs what is missing, builds Flintor with warnings, AddressSanitizer and
# UndefinedBehaviorSanitizer, fuzzes the zip reader and the camera rules for a
# while and runs every test. Tests that need root, loop devices and FUSE skip
# with a reason on a machine without them, and fail when CI=true.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-test"
bash "$here/scripts/install-deps.sh" --tests
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFLINTOR_SANITIZE=ON >/dev/null
cmake --build "$build"
bash "$here/scripts/fuzz.sh" "${FLINTOR_FUZZ_SECONDS:-60}"
# The Debian package, built, installed, checked and removed again (needs
# root for apt-get): always in CI, and whenever the script runs as root.
if [ "${CI:-}" = true ] || [ "$(id -u)" = 0 ]; then
  bash "$here/scripts/package-check.sh"
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/support/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$build"
ctest --output-on-failure --timeout 1200 -j2
