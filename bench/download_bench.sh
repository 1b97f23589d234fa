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

# Loopback only: no proxy may stand between the clients and the server.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

work="$(mktemp -d "${TMPDIR:-/tmp}/varnolux-download-bench.XXXXXX")"
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
mkdir -p "$site/small" "$site/big" "$work/nginx" "$work/out"
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
# check_files FOLDER SOURCE: every file of SOURCE arrived byte for byte.
check_files() {
    local folder="$1" source="$2" f
    for f in "$source"/*.jpg; do
        cmp -s "$f" "$folder/${f##*/}" || { echo "Mismatch: ${f##*/} in $folder" >&2; exit 1; }
    done
}

# measure KEY COMMAND...: runs the command once into a fresh folder that stands for OUT in its
# arguments, checks every file of $expected arrived byte for byte, and keeps the wall time (clock
# around the command) and peak memory (GNU time) in secs[KEY] and mem[KEY] when it is the best
# run of KEY so far. The tools take turns, so a busy moment of the machine does not fall on one
# alone. Folders of small files are removed only at the end, since a file system that has just
# deleted many files is slower to create the next ones; a big file is removed at once, so its
# unwritten pages do not slow the runs after it.
declare -A secs mem
run_no=0
measure() {
    local key="$1"
    shift
    run_no=$((run_no + 1))
    local out="$work/out/$run_no" stats="$work/time.txt" started ended wall kb
    mkdir -p "$out"
    started="$(date +%s.%N)"
    if ! /usr/bin/time -v -o "$stats" "${@//OUT/$out}" >"$work/cmd.log" 2>&1; then
        echo "$key failed:" >&2
        tail -5 "$work/cmd.log" >&2
        exit 1
    fi
    ended="$(date +%s.%N)"
    wall="$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.3f", b - a }')"
    kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$stats")"
    check_files "$out" "$expected"
    [ "$expected" != "$site/big" ] || rm -rf "$out"
    if [ -z "${secs[$key]:-}" ] || awk -v a="$wall" -v b="${secs[$key]}" 'BEGIN { exit !(a < b) }'; then
        secs[$key]="$wall"
        mem[$key]="$kb"
    fi
}

row() { # tool label, megabytes moved
    printf '  %-34s %8.3f s %10.1f MB/s %8.1f MB peak\n' "$1" "${secs[$1]}" \
        "$(awk -v mb="$2" -v s="${secs[$1]}" 'BEGIN { print (s > 0 ? mb / s : 0) }')" \
        "$(awk -v kb="${mem[$1]}" 'BEGIN { print kb / 1024 }')"
}

small_mb="$(awk -v n="$small_count" -v b="$small_bytes" 'BEGIN { print n * b / 1e6 }')"
big_mb="$(awk -v m="$big_mib" 'BEGIN { print m * 1048576 / 1e6 }')"

echo "Small images ($small_count x $small_bytes bytes), best of $runs ..." >&2
expected="$site/small"
for _ in $(seq "$runs"); do
    measure "varnolux download (small)" "$varnolux" download "$base/small/index.html" OUT
    measure "wget -i (small)" wget -q -i "$work/list.txt" -P OUT
done

echo "Big image ($big_mib MiB), best of $runs ..." >&2
expected="$site/big"
for _ in $(seq "$runs"); do
    measure "varnolux download (big)" "$varnolux" download "$base/big/index.html" OUT
    measure "curl -o (big)" curl -fsS -o OUT/big.jpg "$base/big/big.jpg"
    measure "wget (big)" wget -q -P OUT "$base/big/big.jpg"
done

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
