#!/usr/bin/env bash
# Times 'varnolux download' against wget and curl on the same files from the same nginx, in one run:
#   1,000 images of 20 KB listed on one page  -> varnolux download vs. wget -i (same list)
#   one image of 512 MiB                       -> varnolux download vs. curl -o and wget
# and reports wall time, throughput and peak memory (from /usr/bin/time -v). Everything lives in
# a temporary folder and nginx listens on 127.0.0.1 only; both are removed at the end.
#
# Usage: bench/download_bench.sh   (after a build; VARNOLUX_BUILD_DIR names another build folder)
# Environment: BENCH_RUNS (default 3) runs per tool, the best one counts; BENCH_BIG_MIB (512).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
varnolux="$here/${VARNOLUX_BUILD_DIR:-build}/varnolux"
runs="${BENCH_RUNS:-3}"
big_mib="${BENCH_BIG_MIB:-512}"
small_count=1000
small_bytes=20480

# Tools for the benchmark only; the program and its tests need none of them.
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
[ -x "$varnolux" ] || { echo "No program at $varnolux: build first (./run or cmake --build)." >&2; exit 2; }

work="$(mktemp -d /tmp/varnolux-bench.XXXXXX)"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# --- the site ---------------------------------------------------------------------------------
site="$work/site"
mkdir -p "$site/small" "$site/big" "$work/nginx"
echo "Making $small_count images of $small_bytes bytes and one of $big_mib MiB in $work ..." >&2
head -c $((small_count * small_bytes)) /dev/urandom | split -a 4 -d -b "$small_bytes" - "$site/small/img"
for f in "$site"/small/img*; do mv "$f" "$f.jpg"; done
{
    echo "<html><body>"
    for f in "$site"/small/img*.jpg; do echo "<img src=\"${f##*/}\">"; done
    echo "</body></html>"
} >"$site/small/index.html"
# Random bytes, so no layer can shortcut the transfer of the big file.
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$site/big/big.jpg"
echo '<html><body><img src="big.jpg"></body></html>' >"$site/big/index.html"
chmod -R a+rX "$work"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
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
    curl -fsS -o /dev/null "http://127.0.0.1:$port/small/index.html" 2>/dev/null && break
    sleep 0.1
done
base="http://127.0.0.1:$port"
grep -o 'img[0-9]*\.jpg' "$site/small/index.html" | sed "s|^|$base/small/|" >"$work/list.txt"

# --- measuring ----------------------------------------------------------------------------------
# measure NAME COMMAND...: runs the command $runs times into a fresh folder $out, keeps the best
# wall time and that run's peak memory in best_s / best_kb.
measure() {
    local name="$1"
    shift
    best_s=""
    best_kb=""
    for _ in $(seq "$runs"); do
        out="$work/out"
        rm -rf "$out"
        mkdir -p "$out"
        sync
        local stats="$work/time.txt"
        if ! /usr/bin/time -v -o "$stats" "$@" >"$work/cmd.log" 2>&1; then
            echo "$name failed:" >&2
            tail -5 "$work/cmd.log" >&2
            exit 1
        fi
        local wall kb
        wall="$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$stats" |
            awk -F: '{ if (NF == 3) print $1*3600 + $2*60 + $3; else print $1*60 + $2 }')"
        kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$stats")"
        if [ -z "$best_s" ] || awk -v a="$wall" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then
            best_s="$wall"
            best_kb="$kb"
        fi
    done
}

# check_files FOLDER SOURCE: every file of SOURCE arrived byte for byte.
check_files() {
    local folder="$1" source="$2" f
    for f in "$source"/*.jpg; do
        cmp -s "$f" "$folder/${f##*/}" || { echo "Mismatch: ${f##*/} in $folder" >&2; exit 1; }
    done
}

declare -A secs mem
row() { # tool label, megabytes moved
    printf '  %-34s %8.3f s %10.1f MB/s %8.1f MB peak\n' "$1" "${secs[$1]}" \
        "$(awk -v mb="$2" -v s="${secs[$1]}" 'BEGIN { print (s > 0 ? mb / s : 0) }')" \
        "$(awk -v kb="${mem[$1]}" 'BEGIN { print kb / 1024 }')"
}

small_mb="$(awk -v n="$small_count" -v b="$small_bytes" 'BEGIN { print n * b / 1e6 }')"
big_mb="$(awk -v m="$big_mib" 'BEGIN { print m * 1048576 / 1e6 }')"

echo "Small images ($small_count x $small_bytes bytes), best of $runs ..." >&2
measure "varnolux download" "$varnolux" download "$base/small/index.html" "$work/out"
check_files "$work/out" "$site/small"
secs["varnolux download (small)"]=$best_s mem["varnolux download (small)"]=$best_kb
measure "wget -i" wget -q -i "$work/list.txt" -P "$work/out"
check_files "$work/out" "$site/small"
secs["wget -i (small)"]=$best_s mem["wget -i (small)"]=$best_kb

echo "Big image ($big_mib MiB), best of $runs ..." >&2
measure "varnolux download" "$varnolux" download "$base/big/index.html" "$work/out"
check_files "$work/out" "$site/big"
secs["varnolux download (big)"]=$best_s mem["varnolux download (big)"]=$best_kb
measure "curl -o" curl -fsS -o "$work/out/big.jpg" "$base/big/big.jpg"
check_files "$work/out" "$site/big"
secs["curl -o (big)"]=$best_s mem["curl -o (big)"]=$best_kb
measure "wget" wget -q -P "$work/out" "$base/big/big.jpg"
check_files "$work/out" "$site/big"
secs["wget (big)"]=$best_s mem["wget (big)"]=$best_kb

echo
echo "Downloads from nginx on 127.0.0.1 (best of $runs runs each; wall time includes start-up)"
echo "$small_count images of $small_bytes bytes ($small_mb MB):"
row "varnolux download (small)" "$small_mb"
row "wget -i (small)" "$small_mb"
echo "one image of $big_mib MiB ($big_mb MB):"
row "varnolux download (big)" "$big_mb"
row "curl -o (big)" "$big_mb"
row "wget (big)" "$big_mb"

verdict() { if awk "BEGIN { exit !($2) }"; then echo "  met:    $1"; else echo "  MISSED: $1"; fi; }
echo "Targets:"
verdict "small images no slower than wget" "${secs["varnolux download (small)"]} <= ${secs["wget -i (small)"]}"
verdict "big image at least half of curl's throughput" \
    "${secs["varnolux download (big)"]} <= 2 * ${secs["curl -o (big)"]}"
verdict "peak memory under 64 MB for the big image" "${mem["varnolux download (big)"]} < 64 * 1000 * 1000 / 1024"
