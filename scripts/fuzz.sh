#!/usr/bin/env bash
# Fuzzes the zip reader for SECONDS (default 60), then the camera rules (what
# is done with the Exif library's texts and with build names) for half as
# long. Builds the targets with clang into $FUZZ_BUILD_DIR (default
# /tmp/flintor-fuzz, kept between runs with their corpora; no Qt needed),
# seeds the zip corpus with archives made here by zip, and exits non-zero when
# a fuzzer finds a crash, leak or timeout.
set -euo pipefail
SECONDS_TO_RUN="${1:-60}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${FUZZ_BUILD_DIR:-${TMPDIR:-/tmp}/flintor-fuzz}"
mkdir -p "$OUT"

clang++ -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=undefined -fno-omit-frame-pointer -I"$ROOT/src" \
  "$ROOT/fuzz/zipread_fuzzer.cpp" "$ROOT/src/zip/zipread.cpp" "$ROOT/src/zip/zipextract.cpp" \
  "$ROOT/src/zip/namedecode.cpp" "$ROOT/src/zip/entryname.cpp" "$ROOT/src/zip/fatname.cpp" \
  "$ROOT/src/zip/buildcheck.cpp" "$ROOT/src/platform/linux/filemap_linux.cpp" -lz -o "$OUT/zipread_fuzzer"
clang++ -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=undefined -fno-omit-frame-pointer -I"$ROOT/src" \
  "$ROOT/fuzz/camera_fuzzer.cpp" "$ROOT/src/camera/cameras.cpp" "$ROOT/src/core/textutil.cpp" \
  -o "$OUT/camera_fuzzer"

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

# The camera rules, seeded with a model, a firmware text, a build name and an
# address as the Exif library and the catalogue give them (0x1F between).
CAMERA_SEED="$OUT/camera-seed"
rm -rf "$CAMERA_SEED"
mkdir -p "$CAMERA_SEED" "$OUT/camera-corpus"
printf 'Canon EOS 5D Mark III\037Firmware Version 1.2.3\037Nightly\037http://h/ML/magiclantern-Nightly.2018Jul03.5D3123.zip' \
  > "$CAMERA_SEED/match"
printf 'Canon EOS REBEL T2i\037Firmware Version 1.0.8\037v2.3 550D109\037https://h/a.zip' > "$CAMERA_SEED/firmware"
printf 'Canon EOS M\037\037EOSM202\037' > "$CAMERA_SEED/no-firmware"
set +e
./camera_fuzzer -max_total_time="$(( (SECONDS_TO_RUN + 1) / 2 ))" -max_len=512 -timeout=10 \
  -artifact_prefix="$OUT/artifacts/camera-" -print_final_stats=1 "$OUT/camera-corpus" "$CAMERA_SEED" 2>&1 |
  tee "$OUT/camera-fuzz.log" | tail -5
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: the camera fuzzer failed (exit $status); inputs in $OUT/artifacts, log in $OUT/camera-fuzz.log" >&2
  exit 1
fi
echo "fuzz.sh: no crash in ${SECONDS_TO_RUN}s of the zip reader and $(( (SECONDS_TO_RUN + 1) / 2 ))s of the camera rules"
