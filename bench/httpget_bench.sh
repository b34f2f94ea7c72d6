#!/bin/sh
# Downloads a 50 MB file from a local static server through THTTPGet (with a
# running event loop receiving every progress event) and through the curl
# tool, and prints both times and their ratio. Prints figures only.
# Usage: httpget_bench.sh PATH/TO/httpget_bench
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bench=${1:?path to httpget_bench}
servers="$here/../tests/support/servers"
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/www"
head -c 52428800 /dev/urandom > "$work/www/build.zip"
python3 "$servers/static_server.py" --root "$work/www" --port-file "$work/port" --max-seconds 300 &
pid=$!
i=0
while [ ! -s "$work/port" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
url="http://127.0.0.1:$(cat "$work/port")/build.zip"

now() { date +%s.%N; }

"$bench" "$url" "$work/getter.zip" > /dev/null  # warm-up: page cache, server start
t0=$(now)
"$bench" "$url" "$work/getter2.zip" > "$work/getter.txt"
t1=$(now)
curl -s -o "$work/curl.zip" "$url"
t2=$(now)
cmp -s "$work/getter2.zip" "$work/www/build.zip" && same=identical || same=DIFFERENT
cat "$work/getter.txt"
python3 - "$t0" "$t1" "$t2" "$same" <<'PY'
import sys
t0, t1, t2 = map(float, sys.argv[1:4])
g, c = t1 - t0, t2 - t1
print("THTTPGet (whole process): %.3f s" % g)
print("curl -s -o:              %.3f s" % c)
print("ratio THTTPGet / curl:   %.2f" % (g / c))
print("downloaded file:         %s" % sys.argv[4])
PY
