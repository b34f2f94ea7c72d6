#!/usr/bin/env bash
# Builds the benchmarks without sanitizers and runs them; prints figures only.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh" --tests
cmake -S "$here" -B "$here/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build-bench" --target httpget_bench zip_bench camera_bench cardcheck_bench
echo "== download of 50 MB and 200 MB: THTTPGet vs curl"
bash "$here/bench/httpget_bench.sh" "$here/build-bench/bench/httpget_bench"
echo "== unpacking: TZipRead vs unzip"
sh "$here/bench/zip_bench.sh" "$here/build-bench/bench/zip_bench"
echo "== the camera of a card with 5,000 photos"
sh "$here/bench/camera_bench.sh" "$here/build-bench/bench/camera_bench"
echo "== card check: the capacity probe on simulated 8, 64 and 256 GB cards at 20 MB/s"
"$here/build-bench/bench/cardcheck_bench"
