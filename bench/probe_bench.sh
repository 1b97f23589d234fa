#!/usr/bin/env bash
# Probing the dimensions of many large images: 'varnolux list --min-width 1 --parallel 16' of a
# page of COUNT images of 2 MiB each on one host, over HTTPS + HTTP/2 from nginx, against
# 'curl -Z --parallel-max 16 -r 0-65535' of the same links (COUNT x 64 KiB). Prints the body bytes
# nginx sent per image (its log's $body_bytes_sent; target: at most 64 KiB), the medians of RUNS
# rounds and their ratio (target: at most 1.5), each with "met" or "NOT met", and checks that
# every image was listed with its dimensions.
#
# Beside each wall time stands the CPU time (user + system) the command spent, and how often the
# server went to sleep for want of work (its worker's voluntary context switches).
#
# Usage: bench/probe_bench.sh   (after a build; VARNOLUX_BUILD_DIR names another build folder)
# Environment: RUNS (5), COUNT (1000); COMPARE=PROGRAM probes with another build of varnolux in
# the same rounds too (an earlier one, for a before and after). The servers listen on 127.0.0.1
# only and are stopped by PID; everything is removed at the end.
#
# Measured (medians; "before" is the build before the probe's reader and the loop's request set-up
# were made cheaper, run as COMPARE in the same rounds; CPU is user + system):
#   quiet machine, RUNS=5 (without the last of the request set-up savings):
#                            varnolux 174 ms (CPU 150), before 185 ms (CPU 170), curl 111 ms
#                            (CPU 90): ratio 1.57, before 1.67; nginx slept 668 / 915 / 115 times
#   busy machine, RUNS=7:    varnolux 183 ms (CPU 170), before 201 ms (CPU 190), curl 129 ms
#                            (CPU 110): ratio 1.42, before 1.56
# On a quiet machine the ratio is not met; the explanation printed below says where the rest goes.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
varnolux="$here/${VARNOLUX_BUILD_DIR:-build}/varnolux"
runs="${RUNS:-5}"
count="${COUNT:-1000}"
image_bytes=$((2 * 1024 * 1024))
[ -x "$varnolux" ] || { echo "No program at $varnolux: build first." >&2; exit 2; }
compare="${COMPARE:-}"
[ -z "$compare" ] || [ -x "$compare" ] || { echo "No program at $compare." >&2; exit 2; }
for tool in /usr/sbin/nginx curl openssl python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup installs it)." >&2; exit 2; }
done
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

work="$(mktemp -d "${TMPDIR:-/tmp}/varnolux-probe-bench.XXXXXX")"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One real 1600 x 1200 PNG header padded to 2 MiB, under COUNT names (links keep the site small).
site="$work/site"
mkdir -p "$site/img" "$work/nginx"
python3 - "$site/img/original.png" "$image_bytes" <<'PY'
import struct, sys, zlib, os
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
head = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 1600, 1200, 8, 2, 0, 0, 0))
body = head + chunk(b'IDAT', os.urandom(int(sys.argv[2]) - len(head) - 24)) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(body)
PY
{
    echo "<html><body>"
    for i in $(seq -w 1 "$count"); do
        ln -s original.png "$site/img/i$i.png"
        echo "<img src=\"img/i$i.png\">"
    done
    echo "</body></html>"
} >"$site/index.html"
chmod -R a+rX "$work"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
base="https://127.0.0.1:$port"
cert="$work/nginx/cert.pem"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/nginx/key.pem" -out "$cert" -days 2 \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null
log="$work/nginx/access.log"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    log_format sent '\$request_uri \$status \$body_bytes_sent \$server_protocol';
    access_log $log sent;
    sendfile on;
    keepalive_requests 100000;
    http2_max_concurrent_streams 128;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { text/html html; image/png png; }
    server {
        listen 127.0.0.1:$port ssl http2;
        ssl_certificate $cert;
        ssl_certificate_key $work/nginx/key.pem;
        root $site;
    }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do
    curl -fsS --cacert "$cert" -o /dev/null "$base/index.html" 2>/dev/null && break
    sleep 0.1
done

config="$work/curl.conf"
for i in $(seq -w 1 "$count"); do
    printf 'url = "%s/img/i%s.png"\noutput = "/dev/null"\n' "$base" "$i"
done >"$config"

median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT met"; fi; }
worker="$(pgrep -P "$nginx_pid" | head -1)"
sleeps() { awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$worker/status"; }
declare -A wall cpu naps
# timed KEY COMMAND...: runs it once, its output to $work/out, and notes its wall and CPU times
# and the server's sleeps meanwhile.
timed() {
    local key="$1" started ended before
    shift
    before="$(sleeps)"
    started="$(date +%s%N)"
    /usr/bin/time -f '%U %S' -o "$work/cpu.txt" "$@" >"$work/out"
    ended="$(date +%s%N)"
    wall[$key]+="$(((ended - started) / 1000000)) "
    cpu[$key]+="$(awk '{printf "%d", ($1 + $2) * 1000}' "$work/cpu.txt") "
    naps[$key]+="$(($(sleeps) - before)) "
}
per_image=""
for round in $(seq "$runs"); do
    for program in "$varnolux" $compare; do
        : >"$log"
        timed "$program" env SSL_CERT_FILE="$cert" "$program" list --json --filter PNG --parallel 16 --min-width 1 \
            "$base/index.html"
        listed="$(grep -c '"width": 1600, "height": 1200' "$work/out" || true)"
        [ "$listed" = "$count" ] || { echo "round $round: $listed of $count images probed by $program" >&2; exit 1; }
        # The body bytes the images cost on the wire, per image (the page's own request left out).
        [ "$program" != "$varnolux" ] ||
            per_image+="$(awk -v n="$count" '$1 ~ /\/img\// { s += $3 } END { printf "%d", s / n }' "$log") "
        protocol="$(awk '$1 ~ /\/img\// {print $4}' "$log" | sort -u | paste -sd, -)"
    done
    # The same listing without probes: what starting the program and listing the page cost.
    timed plain env SSL_CERT_FILE="$cert" "$varnolux" list --filter PNG "$base/index.html"
    : >"$log"
    timed curl curl -sS --no-progress-meter -Z --parallel-max 16 --http2 --cacert "$cert" -r 0-65535 -K "$config"
done

row() { printf '  %-40s %5s ms  CPU %4s ms  server slept %4s times  (%s)\n' "$1" "$(median "${wall[$2]}")" \
    "$(median "${cpu[$2]}")" "$(median "${naps[$2]}")" "$(sed 's/ $//' <<<"${wall[$2]}")"; }
ours_ms="$(median "${wall[$varnolux]}")"
theirs_ms="$(median "${wall[curl]}")"
bytes="$(median "$per_image")"
ratio="$(awk -v a="$ours_ms" -v b="$theirs_ms" 'BEGIN { printf "%.2f", a / b }')"
echo "Probing $count images of 2 MiB, --parallel 16, $protocol (medians of $runs rounds):"
row "varnolux list --min-width 1:" "$varnolux"
[ -z "$compare" ] || row "${compare#"$here"/} (COMPARE):" "$compare"
row "curl -Z -r 0-65535:" curl
row "varnolux list without probes:" plain
echo
echo "| measure | measured | target | met |"
echo "|---|---|---|---|"
echo "| body bytes sent per image | $bytes | at most 65536 | $(verdict "$bytes <= 65536") |"
echo "| time against curl -Z of 64 KiB each | $ratio | at most 1.5 | $(verdict "$ratio <= 1.5") |"
if [ "$(verdict "$ratio <= 1.5")" != met ]; then
    cat <<'WHY'

Why the ratio is not met: both commands keep one core busy (CPU about equal to wall), so the
ratio is the CPU varnolux spends beyond curl's; three parts of it, measured with perf and
callgrind on this bench:
- Starting: the program loads 74 shared libraries (Qt Widgets and Gui and what they pull in: X11,
  fontconfig, D-Bus, ...) against curl's 33; relocating them costs about 10 ms before main
  ('varnolux --help' 16 ms, 'curl --help' 7 ms), and listing the page about 10 ms more.
- Per probe: a QImageReader reads each header (its plugin table is walked for every reader made,
  about 30,000 instructions an image), and each probe passes the event loop twice (its report
  and its successor's start) with the loop's bookkeeping for a request (policy, proxy, referer).
- The server's sleeps: slower per request than nginx, varnolux leaves it without work between
  requests, so it sleeps (the count above) and each next request wakes it; that wake-up is paid
  in varnolux's send, as system time curl hardly pays.
WHY
fi
