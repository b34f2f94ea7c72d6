#!/bin/sh
# Builds a ~50 MB archive with zip (many small files and a few large ones),
# unpacks it with TZipRead (each entry streamed into its file, as an install
# does) and with unzip in the same run, and prints both times, their ratio and
# the reader's peak memory. Prints figures only.
# Usage: zip_bench.sh PATH/TO/zip_bench
set -eu
bench=${1:?path to zip_bench}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/src/ML/data" "$work/src/ML/modules"
i=0
while [ $i -lt 400 ]; do
    seq $((i * 1000)) $((i * 1000 + 2000)) > "$work/src/ML/data/f$i.txt"
    i=$((i + 1))
done
for n in 1 2 3 4; do head -c 10000000 /dev/urandom > "$work/src/ML/modules/big$n.bin"; done
head -c 8000000 /dev/zero > "$work/src/ML/modules/zeros.bin"
(cd "$work/src" && zip -q -r "$work/build.zip" ML)
size=$(stat -c %s "$work/build.zip")

now() { date +%s.%N; }
mkdir "$work/a" "$work/b"
if ! "$bench" "$work/build.zip" "$work/a" > "$work/reader.txt"; then
    echo "TZipRead could not unpack the archive (reason above)" >&2
    exit 1
fi
t0=$(now); unzip -q -o "$work/build.zip" -d "$work/b"; t1=$(now)
reader=$(sed -n 's/.*seconds \([0-9.]*\).*/\1/p' "$work/reader.txt")
rss=$(sed -n 's/.*peak_rss_kb \([0-9]*\).*/\1/p' "$work/reader.txt")
unz=$(awk "BEGIN { print $t1 - $t0 }")
diff -r "$work/a" "$work/b" > /dev/null && same=yes || same=NO
printf 'archive %s bytes\nTZipRead %.3f s (peak RSS %s kB)\nunzip    %.3f s\nratio    %.2f\nsame files: %s\n' \
    "$size" "$reader" "$rss" "$unz" "$(awk "BEGIN { print $reader / $unz }")" "$same"
