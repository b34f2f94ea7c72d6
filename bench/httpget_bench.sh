#!/usr/bin/env bash
# Downloads 50 MB and 200 MB files from a local busybox httpd through
# THTTPGet (httpget_bench: a running event loop receives every progress
# event) and through the curl tool, interleaved, and prints wall and CPU time
# (user + system) of both: minimum and median over the rounds, and the
# ratios. It does so twice: as the machine is ("idle"), and "busy" with two
# `yes >/dev/null` running beside it, which are stopped afterwards. Every
# downloaded file is compared with the served one (cmp). Prints figures only.
# Usage: httpget_bench.sh PATH/TO/httpget_bench [ROUNDS (default 5)] [SIZES in MB (default "50 200")]
#                         [LOADS (default "idle busy")]
set -euo pipefail
bench=${1:?path to httpget_bench}
rounds=${2:-5}
sizes=${3:-"50 200"}
loads=${4:-"idle busy"}
command -v busybox >/dev/null || { echo "busybox is needed (apt-get install busybox)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 2; }
work=$(mktemp -d)
pid=
hogs=()
stop_hogs() {
    local h
    for h in "${hogs[@]}"; do kill "$h" 2>/dev/null || true; done
    for h in "${hogs[@]}"; do wait "$h" 2>/dev/null || true; done
    hogs=()
}
cleanup() {
    stop_hogs
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/www"
for mb in $sizes; do
    head -c $((mb * 1048576)) /dev/urandom > "$work/www/build$mb.zip"
done

# busybox httpd on 127.0.0.1 only, on the first free port found.
port=
for try in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 40000))
    busybox httpd -f -p "127.0.0.1:$candidate" -h "$work/www" &
    pid=$!
    sleep 0.2
    if kill -0 "$pid" 2>/dev/null && curl -sf -o /dev/null "http://127.0.0.1:$candidate/build${sizes%% *}.zip"; then
        port=$candidate
        break
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
done
[ -n "$port" ] || { echo "busybox httpd did not start" >&2; exit 1; }

# Runs a command; appends "wall cpu" (seconds) to the file $1.
TIMEFORMAT='%R %U %S'
measure() {
    local out=$1
    shift
    local t
    t=$( { time "$@" > /dev/null 2>&1; } 2>&1 )
    echo "$t" | awk '{ printf "%.4f %.4f\n", $1, $2 + $3 }' >> "$out"
}

getter() { "$bench" "$1" "$2"; }
curltool() { curl -s -o "$2" "$1"; }

status=0
# Runs every round for one load; results go to $work/$load-$tool-$mb.txt.
run_rounds() {
    local load=$1 round mb url order tool
    for round in $(seq 1 "$rounds"); do
        for mb in $sizes; do
            url="http://127.0.0.1:$port/build$mb.zip"
            # Alternate which tool goes first, so neither always finds a warmer cache.
            if [ $((round % 2)) -eq 1 ]; then order="getter curltool"; else order="curltool getter"; fi
            for tool in $order; do
                rm -f "$work/$tool.zip"
                measure "$work/$load-$tool-$mb.txt" "$tool" "$url" "$work/$tool.zip"
                if ! cmp -s "$work/$tool.zip" "$work/www/build$mb.zip"; then
                    echo "$load, round $round, $mb MB: $tool's file differs from the served one" >&2
                    status=1
                fi
            done
        done
    done
}

# min and median of column $2 of file $1
stat() { cut -d' ' -f"$2" "$1" | sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", v[1], m }'; }

for load in $loads; do
    if [ "$load" = busy ]; then
        yes > /dev/null &
        hogs+=($!)
        yes > /dev/null &
        hogs+=($!)
    fi
    before=$(uptime | sed 's/.*load average/load average/')
    run_rounds "$load"
    stop_hogs
    echo "== $load: rounds: $rounds, interleaved; server: busybox httpd on 127.0.0.1; $before before the rounds"
    printf '%-7s %-9s %17s %17s\n' size tool "wall min/median" "cpu min/median"
    for mb in $sizes; do
        read -r gwmin gwmed <<< "$(stat "$work/$load-getter-$mb.txt" 1)"
        read -r gcmin gcmed <<< "$(stat "$work/$load-getter-$mb.txt" 2)"
        read -r cwmin cwmed <<< "$(stat "$work/$load-curltool-$mb.txt" 1)"
        read -r ccmin ccmed <<< "$(stat "$work/$load-curltool-$mb.txt" 2)"
        printf '%-7s %-9s %8s %8s %8s %8s\n' "${mb}MB" THTTPGet "$gwmin" "$gwmed" "$gcmin" "$gcmed"
        printf '%-7s %-9s %8s %8s %8s %8s\n' "${mb}MB" curl "$cwmin" "$cwmed" "$ccmin" "$ccmed"
        awk -v a="$gwmin" -v b="$cwmin" -v c="$gwmed" -v d="$cwmed" -v e="$gcmin" -v f="$ccmin" -v g="$gcmed" -v h="$ccmed" \
            'BEGIN { printf "%-7s ratio     %8.2f %8.2f %8.2f %8.2f  (THTTPGet / curl)\n", "", a / b, c / d, (f > 0 ? e / f : 0), (h > 0 ? g / h : 0) }'
    done
done
if [ $status -eq 0 ]; then echo "downloaded files: identical to the served ones (cmp)"; else echo "downloaded files: DIFFERENT"; fi
exit $status
