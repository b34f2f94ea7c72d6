#!/usr/bin/env bash
# Fuzzes the zip reader for SECONDS (default 60). Builds the target with clang
# into $FUZZ_BUILD_DIR (default /tmp/flintor-fuzz, kept between runs with its
# corpus; no Qt needed), seeds the corpus with archives made here by zip, and
# exits non-zero when the fuzzer finds a crash, leak or timeout.
set -euo pipefail
SECONDS_TO_RUN="${1:-60}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${FUZZ_BUILD_DIR:-${TMPDIR:-/tmp}/flintor-fuzz}"
mkdir -p "$OUT"

clang++ -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=undefined -fno-omit-frame-pointer -I"$ROOT/src" \
  "$ROOT/fuzz/zipread_fuzzer.cpp" "$ROOT/src/zip/zipread.cpp" "$ROOT/src/zip/zipextract.cpp" \
  "$ROOT/src/zip/namedecode.cpp" "$ROOT/src/zip/entryname.cpp" "$ROOT/src/zip/fatname.cpp" \
  "$ROOT/src/zip/buildcheck.cpp" -lz -o "$OUT/zipread_fuzzer"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
SEED="$OUT/seed"
rm -rf "$SEED"
mkdir -p "$SEED" "$OUT/corpus" "$OUT/artifacts" "$WORK/src/dir/sub"
(
  cd "$WORK/src"
  printf 'a' > a.txt
  printf '' > empty.txt
  seq 1 400 > dir/numbers.txt
  head -c 3000 /dev/urandom > dir/sub/random.bin
  printf 'caf\xc3\xa9' > "$(printf 'n\xc3\xa9.txt')"
  zip -q -X "$SEED/one_stored.zip" -0 a.txt
  zip -q -X "$SEED/one_deflated.zip" dir/numbers.txt
  zip -q -X "$SEED/empty_entry.zip" empty.txt
  zip -q -X -r "$SEED/tree.zip" .
  zip -q -X -r -0 "$SEED/tree_stored.zip" dir
  seq 1 50 | zip -q -fz- - - | cat > "$SEED/descriptor.zip"
  zip -q -X -fz "$SEED/zip64.zip" a.txt dir/numbers.txt
  zip -q -X -fz -r "$SEED/zip64_tree.zip" dir
  zip -q -X -Z bzip2 "$SEED/bzip2.zip" dir/numbers.txt
  zip -q -X -P secret "$SEED/encrypted.zip" a.txt
  printf 'build' > autoexec.bin
  zip -q -X "$SEED/build.zip" autoexec.bin a.txt dir/numbers.txt
  # Python writing to a pipe: data descriptors with their signature, 8-byte
  # sizes for the Zip64 entry. (The zip -fz archives carry Zip64 end records.)
  python3 - <<'PY' | cat > "$SEED/python_descriptor.zip"
import sys, zipfile
with zipfile.ZipFile(sys.stdout.buffer, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("autoexec.bin", "build " * 40)
    z.writestr("ML/", b"")
    z.writestr(zipfile.ZipInfo("ML/stored.txt"), "stored", compress_type=zipfile.ZIP_STORED)
    with z.open("ML/wide.dat", "w", force_zip64=True) as f:
        f.write(b"wide " * 30)
PY
  printf 'comment\n' | zip -q -z "$SEED/one_stored.zip" >/dev/null
  { printf 'prefix bytes'; cat "$SEED/one_deflated.zip"; } > "$SEED/prefixed.bin"
)
printf 'PK\005\006\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' > "$SEED/end_only.zip"

cd "$OUT"
set +e
./zipread_fuzzer -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$OUT/artifacts/" -print_final_stats=1 "$OUT/corpus" "$SEED" 2>&1 | tee "$OUT/fuzz.log" | tail -25
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: the fuzzer failed (exit $status); inputs in $OUT/artifacts, log in $OUT/fuzz.log" >&2
  exit 1
fi
echo "fuzz.sh: no crash in ${SECONDS_TO_RUN}s"
