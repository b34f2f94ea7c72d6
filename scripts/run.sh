#!/usr/bin/env bash
# Installs what is missing, builds Flintor and starts it.
# Options after the script name are handed to Flintor, e.g.
#   bash scripts/run.sh --include-loop --catalogue-host 127.0.0.1:8080
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLINTOR_TESTS=OFF >/dev/null
cmake --build "$here/build" --target flintor
# Run it as yourself, not with sudo: cards are reached through udisks2 when
# it runs (polkit may ask for a password), otherwise directly (root or the
# "disk" group).
exec "$here/build/src/app/flintor" "$@"
