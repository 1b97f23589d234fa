#!/usr/bin/env bash
# End-to-end benchmark of `varnolux list`: serves a made-up 100 MB page from a private nginx on
# 127.0.0.1 and times the listing run against a plain `curl -o /dev/null` of the same page, best
# of RUNS each, then reports the listing run's peak memory next to the page size.
#
#   bench/list_bench.sh            (run under the build lock: it keeps both cores busy)
#
# Environment: VARNOLUX_BUILD_DIR (default build), RUNS (default 3), SIZE_MB (default 100).
# Needs a built tree (varnolux and bench/scan_bench); installs nginx, curl and GNU time if missing.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/${VARNOLUX_BUILD_DIR:-build}"
runs="${RUNS:-3}"
size_mb="${SIZE_MB:-100}"
varnolux="$build/varnolux"
scan_bench="$build/bench/scan_bench"

for program in "$varnolux" "$scan_bench"; do
    if [ ! -x "$program" ]; then
        echo "list_bench: $program is missing; build first:" >&2
        echo "  flock /tmp/varnolux-build.lock cmake --build ${VARNOLUX_BUILD_DIR:-build}" >&2
        exit 2
    fi
done

# Only what this benchmark needs, and only when it is not there yet.
need=()
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
[ -x /usr/bin/time ] || need+=(time)
if ((${#need[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${need[*]}" >&2
    "${sudo[@]}" apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
fi

# Loopback only: no proxy may stand between the clients and the server.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

work="$(mktemp -d "${TMPDIR:-/tmp}/varnolux-list-bench.XXXXXX")"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# nginx's workers may run as another user: they must be able to read the page.
chmod 755 "$work"
mkdir -p "$work/www/gallery" "$work/temp" "$work/logs"

start_nginx() {
    local port="$1"
    cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    default_type text/html;
    sendfile on;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        index index.html;
    }
}
EOF
    /usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/logs/error.log" &
    nginx_pid=$!
    for _ in $(seq 50); do
        if curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/"; then
            return 0
        fi
        if ! kill -0 "$nginx_pid" 2>/dev/null; then
            wait "$nginx_pid" 2>/dev/null || true
            nginx_pid=""
            return 1
        fi
        sleep 0.1
    done
    return 1
}

port=""
for _ in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 30000))
    if start_nginx "$candidate"; then
        port="$candidate"
        break
    fi
done
if [ -z "$port" ]; then
    echo "list_bench: nginx did not start:" >&2
    cat "$work/logs/error.log" >&2 || true
    exit 1
fi

address="http://127.0.0.1:$port/gallery/"
"$scan_bench" --write "$work/www/gallery/index.html" --size "$size_mb" --address "$address" >/dev/null
page_bytes=$(stat -c %s "$work/www/gallery/index.html")
echo "page: $address ($page_bytes bytes), nginx pid $nginx_pid"
# An extra CA bundle is read when the program starts, whether or not the page uses TLS.
echo "SSL_CERT_FILE: ${SSL_CERT_FILE:-(unset)}"

now_ns() { date +%s%N; }
# Arithmetic on nanoseconds and kilobytes, formatted: calc FORMAT EXPRESSION
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

best_curl=""
best_list=""
best_browser=""
peak_kb=0
peak_browser_kb=0
listed=0
listed_browser=0
# One listing run: list_once OUTPUT_PREFIX [--find MODE]; sets run_ns and run_kb.
list_once() {
    local prefix="$1"
    shift
    local t0 t1 status=0
    t0=$(now_ns)
    TEMP="$work/temp" /usr/bin/time -v -o "$work/time.txt" "$varnolux" list "$@" --filter JPG,GIF,PNG -- "$address" \
        >"$work/$prefix.txt" 2>"$work/$prefix.err" || status=$?
    t1=$(now_ns)
    if ((status != 0)); then
        echo "list_bench: varnolux list $* failed with status $status:" >&2
        cat "$work/$prefix.err" >&2
        exit 1
    fi
    run_ns=$((t1 - t0))
    run_kb=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/time.txt")
}
for run in $(seq "$runs"); do
    t0=$(now_ns)
    got=$(curl -s -o /dev/null -w '%{http_code} %{size_download}' "$address")
    t1=$(now_ns)
    if [ "$got" != "200 $page_bytes" ]; then
        echo "list_bench: curl got '$got' instead of '200 $page_bytes'" >&2
        exit 1
    fi
    curl_ns=$((t1 - t0))
    if [ -z "$best_curl" ] || ((curl_ns < best_curl)); then best_curl=$curl_ns; fi

    # The temporary page file goes into the benchmark's own folder, removed at the end.
    list_once list
    list_ns=$run_ns
    kb=$run_kb
    if [ -z "$best_list" ] || ((list_ns < best_list)); then best_list=$list_ns; fi
    if ((kb > peak_kb)); then peak_kb=$kb; fi
    listed=$(wc -l <"$work/list.txt")

    list_once browser --find browser
    browser_ns=$run_ns
    if [ -z "$best_browser" ] || ((browser_ns < best_browser)); then best_browser=$browser_ns; fi
    if ((run_kb > peak_browser_kb)); then peak_browser_kb=$run_kb; fi
    listed_browser=$(wc -l <"$work/browser.txt")
    echo "run $run: curl $(calc %.0f "$curl_ns / 1e6") ms, varnolux list $(calc %.0f "$list_ns / 1e6") ms," \
        "peak $(calc %.1f "$kb / 1024") MiB; --find browser $(calc %.0f "$browser_ns / 1e6") ms," \
        "peak $(calc %.1f "$run_kb / 1024") MiB"
done

echo
echo "curl -o /dev/null:  $(calc %.1f "$best_curl / 1e6") ms  (best of $runs)"
echo "varnolux list:      $(calc %.1f "$best_list / 1e6") ms  (best of $runs), $listed links listed"
echo "ratio:              $(calc %.2f "$best_list / $best_curl")x curl  (target: 3x or less)"
echo "peak memory:        $(calc %.1f "$peak_kb / 1024") MiB for a $(calc %.1f "$page_bytes / 1048576") MiB page" \
    "= $(calc %.2f "$peak_kb * 1024 / $page_bytes")x  (target: 2x or less)"
echo "list --find browser: $(calc %.1f "$best_browser / 1e6") ms  (best of $runs), $listed_browser links listed"
echo "browser / classic:  $(calc %.2f "$best_browser / $best_list")x  (target: 1.5x or less)"
echo "browser peak:       $(calc %.1f "$peak_browser_kb / 1024") MiB" \
    "= $(calc %.2f "$peak_browser_kb * 1024 / $page_bytes")x the page  (target: 2x or less)"
