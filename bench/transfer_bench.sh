#!/usr/bin/env bash
# Times varnolux against curl and wget on the same files from the same nginx, in one run, the
# tools taking turns, with the files written to /dev/shm (memory) and to disk:
#   list      'varnolux list' of a 100 MB page  vs  'curl -o /dev/null' of it + the scanner's
#             in-process time over the same page (scan_bench)
#   small     1,000 images of 20 KiB one at a time  vs  one curl with all 1,000 URLs, wget -i
#   big       one image of 512 MiB  vs  curl -o, wget
#   parallel  the 1,000 images with --parallel 16  vs  curl -Z --parallel-max 16; the same from the
#             test server with a 20 ms delay before every answer; the peak memory of
#             --parallel 16 on 16 images of 512 MiB (one round)
# Every downloaded file is compared byte for byte with its original. Prints best and median of
# RUNS (default 5) per tool, the three ratios with their targets, the peak memory of the big
# download, and the longest event-loop wait during a 512 MiB download and a 100 MB page listing.
# Everything lives in temporary folders and nginx listens on 127.0.0.1 only; all of it is removed
# at the end.
#
# Usage: bench/transfer_bench.sh   (after a build, alone on the machine; VARNOLUX_BUILD_DIR names
#        another build folder)
# Environment: RUNS (5), BIG_MIB (512), PAGE_MB (100), PARTS ("engine parallel", or either alone).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/${VARNOLUX_BUILD_DIR:-build}"
varnolux="$build/varnolux"
scan_bench="$build/bench/scan_bench"
loop_wait="$build/bench/bench_loop_wait"
delay_server="$build/bench/bench_delay_server"
parts="${PARTS:-engine parallel}"
want() { [[ " $parts " == *" $1 "* ]]; }
runs="${RUNS:-5}"
big_mib="${BIG_MIB:-512}"
page_mb="${PAGE_MB:-100}"
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
for program in "$varnolux" "$scan_bench" "$loop_wait" "$delay_server"; do
    [ -x "$program" ] || { echo "No program at $program: build first." >&2; exit 2; }
done

# Loopback only: no proxy may stand between the clients and the server.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

work="$(mktemp -d "${TMPDIR:-/tmp}/varnolux-transfer-bench.XXXXXX")"
shm="$(mktemp -d /dev/shm/varnolux-transfer-bench.XXXXXX)"
nginx_pid=""
delay_pid=""
cleanup() {
    for pid in "$nginx_pid" "$delay_pid"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
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
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$site/big/big.jpg"
echo '<html><body><img src="big.jpg"></body></html>' >"$site/big/index.html"
# Sixteen names for the big image (links, so the site stays small), all on one page.
mkdir -p "$site/big16"
{
    echo "<html><body>"
    for i in $(seq -w 1 16); do
        ln -s ../big/big.jpg "$site/big16/big$i.jpg"
        echo "<img src=\"big$i.jpg\">"
    done
    echo "</body></html>"
} >"$site/big16/index.html"
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
if want parallel; then
    "$delay_server" "$site/small" 20 >"$work/delay.port" &
    delay_pid=$!
    for _ in $(seq 50); do [ -s "$work/delay.port" ] && break; sleep 0.1; done
    delay_base="http://127.0.0.1:$(cat "$work/delay.port")"
    mapfile -t delay_urls < <(sed "s|^$base/small|$delay_base|" "$work/list.txt")
fi

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
row() { printf '  %-44s best %6d ms  median %6d ms  peak %6s MB\n' "$1" "$(best "$1")" "$(median "$1")" "$(peak_mb "$1")"; }

for where in shm disk; do
    if [ "$where" = shm ]; then dest="$shm"; else dest="$work/dest"; fi
    mkdir -p "$dest"
    echo "Runs with the files on $where ($dest), $runs rounds ..." >&2
    for _ in $(seq "$runs"); do
        if want parallel; then
            measure "$where: varnolux --parallel 16 (small)" "$site/small" "$varnolux" download --parallel 16 "$base/small/index.html" OUT
            measure "$where: curl -Z --parallel-max 16 (small)" "$site/small" curl -fsS -Z --parallel-max 16 --output-dir OUT --remote-name-all "${small_urls[@]}"
            measure "$where: varnolux --parallel 16 (20 ms)" "$site/small" "$varnolux" download --parallel 16 "$delay_base/index.html" OUT
            measure "$where: curl -Z --parallel-max 16 (20 ms)" "$site/small" curl -fsS -Z --parallel-max 16 --output-dir OUT --remote-name-all "${delay_urls[@]}"
        fi
        want engine || continue
        measure "$where: varnolux list (page)" - "$varnolux" list --filter JPG,GIF,PNG -- "$page_url"
        measure "$where: curl -o /dev/null (page)" - curl -fsS -o /dev/null "$page_url"
        measure "$where: varnolux download (small)" "$site/small" "$varnolux" download "$base/small/index.html" OUT
        measure "$where: curl, all URLs in one (small)" "$site/small" curl -fsS --output-dir OUT --remote-name-all "${small_urls[@]}"
        measure "$where: wget -i (small)" "$site/small" wget -q -i "$work/list.txt" -P OUT
        measure "$where: varnolux download (big)" "$site/big" "$varnolux" download "$base/big/index.html" OUT
        measure "$where: curl -o (big)" "$site/big" curl -fsS -o OUT/big.jpg "$base/big/big.jpg"
        measure "$where: wget (big)" "$site/big" wget -q -P OUT "$base/big/big.jpg"
    done
    if want parallel; then
        measure "$where: varnolux --parallel 16 (16 x big)" - "$varnolux" download --parallel 16 "$base/big16/index.html" OUT
    fi
done

echo
echo "From nginx on 127.0.0.1, best and median of $runs (wall time, start-up included); peak = max RSS"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi; }
if want parallel; then
    for where in shm disk; do
        echo "files on $where (parallel; 20 ms: the test server waiting 20 ms before every answer):"
        for key in "varnolux --parallel 16 (small)" "curl -Z --parallel-max 16 (small)" \
            "varnolux --parallel 16 (20 ms)" "curl -Z --parallel-max 16 (20 ms)"; do
            row "$where: $key"
        done
        printf '  %-44s once   %6d ms                  peak %6s MB\n' "$where: varnolux --parallel 16 (16 x big)" \
            "$(best "$where: varnolux --parallel 16 (16 x big)")" "$(peak_mb "$where: varnolux --parallel 16 (16 x big)")"
    done
    echo "Ratios (best runs), parallel:"
    for where in shm disk; do
        p_r="$(ratio "$(best "$where: varnolux --parallel 16 (small)")" "$(best "$where: curl -Z --parallel-max 16 (small)")")"
        d_r="$(ratio "$(best "$where: varnolux --parallel 16 (20 ms)")" "$(best "$where: curl -Z --parallel-max 16 (20 ms)")")"
        p_peak="$(peak_mb "$where: varnolux --parallel 16 (16 x big)")"
        echo "  $where: parallel / curl -Z = $p_r (target <= 1.0: $(verdict "$p_r <= 1.0"));" \
            "20 ms delay: parallel / curl -Z = $d_r (target <= 1.1: $(verdict "$d_r <= 1.1"));" \
            "16 x $big_mib MiB peak $p_peak MB (target < 128: $(verdict "$p_peak < 128"))"
    done
fi
want engine || exit 0
for where in shm disk; do
    echo "files on $where:"
    for key in "varnolux list (page)" "curl -o /dev/null (page)" "varnolux download (small)" \
        "curl, all URLs in one (small)" "wget -i (small)" "varnolux download (big)" "curl -o (big)" "wget (big)"; do
        row "$where: $key"
    done
done
echo "scanner alone over the same page (scan_bench, best of 5): $scan_ms ms"

echo "Ratios (best runs):"
for where in shm disk; do
    list_r="$(ratio "$(best "$where: varnolux list (page)")" "$(awk -v c="$(best "$where: curl -o /dev/null (page)")" -v s="$scan_ms" 'BEGIN { print c + s }')")"
    small_r="$(ratio "$(best "$where: varnolux download (small)")" "$(best "$where: curl, all URLs in one (small)")")"
    big_r="$(ratio "$(best "$where: curl -o (big)")" "$(best "$where: varnolux download (big)")")"
    big_peak="$(peak_mb "$where: varnolux download (big)")"
    echo "  $where: list / (curl + scan) = $list_r (target <= 1.2: $(verdict "$list_r <= 1.2"));" \
        "small / curl = $small_r (target <= 1.0: $(verdict "$small_r <= 1.0"));" \
        "big throughput / curl's = $big_r (target >= 1.0: $(verdict "$big_r >= 1.0"));" \
        "big peak $big_peak MB (target < 64: $(verdict "$big_peak < 64"))"
done

mkdir -p "$shm/loop"
"$loop_wait" "$base/big/index.html" "$shm/loop" "$page_url" | sed 's/$/  (target: 100 ms or less)/'
