#!/usr/bin/env bash
# Times the rendered mode and prints each figure next to its target, met or NOT met:
#   start    Chromium started until the navigation of our page is answered   target < 1 s
#   listing  'varnolux list --find rendered' of a static page one screen high (24 thumbnails, a
#            stylesheet), the whole command: within 1.5 s plus the settling rules' minimum (1 s of
#            stable height and 0.5 s of quiet network), 3 s in all
#   memory   the peak proportional set size of Chromium's processes during that listing, next to
#            varnolux's own (reported, no target)
# Medians of RUNS rounds (5). The page is served on 127.0.0.1; Chromium is kept to loopback.
#
# Usage: bench/rendered_bench.sh   (after a build; VARNOLUX_BUILD_DIR names another build folder)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/${VARNOLUX_BUILD_DIR:-build}"
runs="${RUNS:-5}"
for program in "$build/varnolux" "$build/bench/rendered_bench"; do
    [ -x "$program" ] || { echo "No program at $program: build first." >&2; exit 2; }
done
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

figures="$("$build/bench/rendered_bench" "$build/varnolux" "$runs")"
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$figures"; }

row() { # job, measured, unit, target (empty: none), met?
    printf '%-52s | %10s %-3s | %-12s | %s\n' "$1" "$2" "$3" "$4" "$5"
}
met() { awk -v m="$1" -v t="$2" 'BEGIN { print (m < t) ? "met" : "NOT met" }'; }

echo "chromium: $(chromium --version 2>/dev/null || echo unknown); $runs runs, medians"
row "job" "measured" "" "target" ""
row "Chromium's start to the first navigation answered" "$(value start_navigated_ms)" ms "< 1000 ms" \
    "$(met "$(value start_navigated_ms)" 1000)"
row "  of which: started until its page is attached" "$(value start_ready_ms)" ms "" ""
row "static page, list --find rendered ($(value listing_lines) lines)" "$(value listing_ms)" ms "< 3000 ms" \
    "$(met "$(value listing_ms)" 3000)"
row "peak memory (PSS) of Chromium's processes" "$(value browser_peak_mib)" MiB "" "reported"
row "peak memory (PSS) of varnolux" "$(value ours_peak_mib)" MiB "" "reported"
