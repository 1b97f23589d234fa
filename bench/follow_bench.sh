#!/usr/bin/env bash
# Following a gallery's thumbnails: a page of 200 thumbnails linking to 200 pages on one host that
# answers 20 ms after each request (bench_delay_server). Times `list --follow thumbnails
# --parallel 8` against its target: 200 x 20 ms / 6 (at most 6 connections to one host are the
# floor) plus the time of listing the gallery alone, times 1.2. Medians of RUNS (default 5).
#
#     bench/follow_bench.sh            # after a build; VARNOLUX_BUILD_DIR names another build tree
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${VARNOLUX_BUILD_DIR:-$here/build}"
runs="${RUNS:-5}"
pages="${PAGES:-200}"
delay="${DELAY_MS:-20}"
parallel="${PARALLEL:-8}"
varnolux="$build/varnolux"
server="$build/bench/bench_delay_server"
for program in "$varnolux" "$server"; do
    [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 2; }
done

work="$(mktemp -d)"
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

{
    echo "<!doctype html><title>Gallery</title>"
    for i in $(seq 1 "$pages"); do
        echo "<a href=\"p$i.html\"><img src=\"t$i.jpg\" width=100 height=75></a>"
    done
} > "$work/gallery.html"
for i in $(seq 1 "$pages"); do
    echo "<!doctype html><a href=\"gallery.html\">Back</a><img src=\"full$i.jpg\"><img src=\"ad.gif\">" \
        > "$work/p$i.html"
done

"$server" "$work" "$delay" > "$work/port" &
server_pid=$!
for _ in $(seq 1 50); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
port="$(head -n1 "$work/port")"
address="http://127.0.0.1:$port/gallery.html"

now_ms() { date +%s%3N; }
# One run's milliseconds; its output goes to a file to be checked.
time_run() {
    local out="$1"; shift
    local start end
    start=$(now_ms)
    "$varnolux" list "$@" "$address" > "$out"
    end=$(now_ms)
    echo $((end - start))
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : int((a[NR / 2] + a[NR / 2 + 1]) / 2)}'; }

alone=()
followed=()
for _ in $(seq 1 "$runs"); do
    # The two take turns, so the machine's load falls on both alike.
    alone+=("$(time_run "$work/alone.txt" --find browser)")
    followed+=("$(time_run "$work/followed.txt" --find browser --follow thumbnails --parallel "$parallel")")
done

lines=$(wc -l < "$work/followed.txt")
expected=$((pages + pages + 1))
if [ "$lines" -ne "$expected" ]; then
    echo "the followed listing has $lines lines, not $expected" >&2
    exit 1
fi

alone_ms=$(printf '%s\n' "${alone[@]}" | median)
followed_ms=$(printf '%s\n' "${followed[@]}" | median)
floor_ms=$((pages * delay / 6))
target_ms=$(awk -v f="$floor_ms" -v a="$alone_ms" 'BEGIN {printf "%d", 1.2 * (f + a)}')
ratio=$(awk -v m="$followed_ms" -v f="$floor_ms" -v a="$alone_ms" 'BEGIN {printf "%.2f", m / (f + a)}')
met=$([ "$followed_ms" -le "$target_ms" ] && echo met || echo "NOT met")
echo "gallery of $pages thumbnails, ${delay} ms before each answer, --parallel $parallel, median of $runs"
echo "listing alone:            $alone_ms ms (runs: ${alone[*]})"
echo "--follow thumbnails:      $followed_ms ms (runs: ${followed[*]})"
echo "floor $pages x $delay ms / 6: $floor_ms ms"
echo "measured / (floor + listing alone) = $ratio; target at most 1.20 ($target_ms ms): $met"
