#!/usr/bin/env bash
# Times varnolux against curl and wget on the same files from the same nginx, in one run, the
# tools taking turns, with the files written to /dev/shm (memory) and to disk:
#   list      'varnolux list' of a 100 MB page  vs  'curl -o /dev/null' of it + the scanner's
#             in-process time over the same page (scan_bench)
#   small     1,000 images of 20 KiB one at a time  vs  one curl with all 1,000 URLs, wget -i
#   big       one image of 512 MiB  vs  curl -o, wget
# Every downloaded file is compared byte for byte with its original. Prints best and median of
# RUNS (default 5) per tool, the three ratios with their targets, the peak memory of the big
# download, and the longest event-loop wait during a 512 MiB download and a 100 MB page listing.
# Everything lives in temporary folders and nginx listens on 127.0.0.1 only; all of it is removed
# at the end.
#
# Usage: bench/transfer_bench.sh   (after a build, alone on the machine; VARNOLUX_BUILD_DIR names
#        another build folder)
# Environment: RUNS (5), BIG_MIB (512), PAGE_MB (100), ONLY (list, small or big: that case alone).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/${VARNOLUX_BUILD_DIR:-build}"
varnolux="$build/varnolux"
scan_bench="$build/bench/scan_bench"
loop_wait="$build/bench/bench_loop_wait"
runs="${RUNS:-5}"
big_mib="${BIG_MIB:-512}"
page_mb="${PAGE_MB:-100}"
only="${ONLY:-}"
small_count=1000
small_bytes=20480

bench_packages=(nginx-light wget curl time)
missing=()
for p in "${bench_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing for the benchmark: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
for program in "$varnolux" "$scan_bench" "$loop_wait"; do
    [ -x "$program" ] || { echo "No program at $program: build first." >&2; exit 2; }
done

# Loopback only: no proxy may stand between the clients and the server.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

work="$(mktemp -d "${TMPDIR:-/tmp}/varnolux-transfer-bench.XXXXXX")"
shm="$(mktemp -d /dev/shm/varnolux-transfer-bench.XXXXXX)"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work" "$shm"
}
trap cleanup EXIT INT TERM

# --- the site ---------------------------------------------------------------------------------
site="$work/site"
mkdir -p "$site/small" "$site/big" "$site/page" "$work/nginx"
echo "Making $small_count images of $small_bytes bytes, one of $big_mib MiB and a $page_mb MB page ..." >&2
head -c $((small_count * small_bytes)) /dev/urandom | split -a 4 -d -b "$small_bytes" - "$site/small/img"
for f in "$site"/small/img*; do mv "$f" "$f.jpg"; done
{
    echo "<html><body>"
    for f in "$site"/small/img*.jpg; do echo "<img src=\"${f##*/}\">"; done
    echo "</body></html>"
} >"$site/small/index.html"
[ -n "$only" ] && [ "$only" != big ] && big_mib=1
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$site/big/big.jpg"
echo '<html><body><img src="big.jpg"></body></html>' >"$site/big/index.html"
chmod -R a+rX "$work"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
base="http://127.0.0.1:$port"
page_url="$base/page/index.html"
"$scan_bench" --write "$site/page/index.html" --size "$page_mb" --address "$page_url" >/dev/null
scan_ms="$("$scan_bench" --size "$page_mb" --address "$page_url" --no-check --runs 5 |
    sed -n 's/^CollectData:.*(best of [0-9]*, \([0-9.]*\) ms).*/\1/p')"

cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { text/html html; image/jpeg jpg; }
    server {
        listen 127.0.0.1:$port;
        root $site;
    }
}
EOF
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do
    curl -fsS -o /dev/null "$base/small/index.html" 2>/dev/null && break
    sleep 0.1
done
grep -o 'img[0-9]*\.jpg' "$site/small/index.html" | sed "s|^|$base/small/|" >"$work/list.txt"
mapfile -t small_urls <"$work/list.txt"

# --- measuring ----------------------------------------------------------------------------------
# measure KEY EXPECTED COMMAND...: runs the command once in a fresh folder OUT (under $dest),
# checks every .jpg of the folder EXPECTED arrived there byte for byte (none for "-"), and adds
# the wall time and the peak memory (GNU time) to the lists of KEY.
declare -A times peaks
run_no=0
measure() {
    local key="$1" expected="$2"
    shift 2
    run_no=$((run_no + 1))
    local out="$dest/out$run_no" started ended f
    mkdir -p "$out"
    started="$(date +%s%N)"
    if ! TEMP="$dest" /usr/bin/time -f '%M' -o "$work/rss.txt" "${@//OUT/$out}" >"$work/cmd.log" 2>&1; then
        echo "$key failed:" >&2
        tail -5 "$work/cmd.log" >&2
        exit 1
    fi
    ended="$(date +%s%N)"
    if [ "$expected" != - ]; then
        for f in "$expected"/*.jpg; do
            cmp -s "$f" "$out/${f##*/}" || { echo "$key: ${f##*/} differs from the original" >&2; exit 1; }
        done
    fi
    rm -rf "$out"
    times[$key]+="$(((ended - started) / 1000000)) "
    peaks[$key]+="$(cat "$work/rss.txt") "
}

best() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | head -1; }
median() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
peak_mb() { tr ' ' '\n' <<<"${peaks[$1]}" | grep . | sort -n | tail -1 | awk '{printf "%.1f", $1/1024}'; }
row() {
    [ -n "${times[$1]:-}" ] || return 0
    printf '  %-44s best %6d ms  median %6d ms  peak %6s MB\n' "$1" "$(best "$1")" "$(median "$1")" "$(peak_mb "$1")"
}

for where in shm disk; do
    if [ "$where" = shm ]; then dest="$shm"; else dest="$work/dest"; fi
    mkdir -p "$dest"
    echo "Runs with the files on $where ($dest), $runs rounds ..." >&2
    for _ in $(seq "$runs"); do
        if [ -z "$only" ] || [ "$only" = list ]; then
            measure "$where: varnolux list (page)" - "$varnolux" list --filter JPG,GIF,PNG -- "$page_url"
            measure "$where: curl -o /dev/null (page)" - curl -fsS -o /dev/null "$page_url"
        fi
        if [ -z "$only" ] || [ "$only" = small ]; then
            measure "$where: varnolux download (small)" "$site/small" "$varnolux" download "$base/small/index.html" OUT
            measure "$where: curl, all URLs in one (small)" "$site/small" curl -fsS --output-dir OUT --remote-name-all "${small_urls[@]}"
            measure "$where: wget -i (small)" "$site/small" wget -q -i "$work/list.txt" -P OUT
        fi
        if [ -z "$only" ] || [ "$only" = big ]; then
            measure "$where: varnolux download (big)" "$site/big" "$varnolux" download "$base/big/index.html" OUT
            measure "$where: curl -o (big)" "$site/big" curl -fsS -o OUT/big.jpg "$base/big/big.jpg"
            measure "$where: wget (big)" "$site/big" wget -q -P OUT "$base/big/big.jpg"
        fi
    done
done

echo
echo "From nginx on 127.0.0.1, best and median of $runs (wall time, start-up included); peak = max RSS"
for where in shm disk; do
    echo "files on $where:"
    for key in "varnolux list (page)" "curl -o /dev/null (page)" "varnolux download (small)" \
        "curl, all URLs in one (small)" "wget -i (small)" "varnolux download (big)" "curl -o (big)" "wget (big)"; do
        row "$where: $key"
    done
done
echo "scanner alone over the same page (scan_bench, best of 5): $scan_ms ms"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi; }
echo "Ratios (best runs):"
for where in shm disk; do
    line="  $where:"
    if [ -n "${times["$where: varnolux list (page)"]:-}" ]; then
        list_r="$(ratio "$(best "$where: varnolux list (page)")" "$(awk -v c="$(best "$where: curl -o /dev/null (page)")" -v s="$scan_ms" 'BEGIN { print c + s }')")"
        line+=" list / (curl + scan) = $list_r (target <= 1.2: $(verdict "$list_r <= 1.2"));"
    fi
    if [ -n "${times["$where: varnolux download (small)"]:-}" ]; then
        small_r="$(ratio "$(best "$where: varnolux download (small)")" "$(best "$where: curl, all URLs in one (small)")")"
        line+=" small / curl = $small_r (target <= 1.0: $(verdict "$small_r <= 1.0"));"
    fi
    if [ -n "${times["$where: varnolux download (big)"]:-}" ]; then
        big_r="$(ratio "$(best "$where: curl -o (big)")" "$(best "$where: varnolux download (big)")")"
        big_peak="$(peak_mb "$where: varnolux download (big)")"
        line+=" big throughput / curl's = $big_r (target >= 1.0: $(verdict "$big_r >= 1.0"));"
        line+=" big peak $big_peak MB (target < 64: $(verdict "$big_peak < 64"))"
    fi
    echo "$line"
done

mkdir -p "$shm/loop"
"$loop_wait" "$base/big/index.html" "$shm/loop" "$page_url" | sed 's/$/  (target: 100 ms or less)/'
