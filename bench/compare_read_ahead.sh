#!/usr/bin/env bash
# What reading ahead costs the person, on the shared 117-page sample nine times over (1,053 pages, made
# with qpdf): open + inspect in the worker's CPU against `mutool pages` listing every page's boxes, and
# the first search after the open (1.5 s later, as a person types the query; asked as the editor asks,
# a few pages a request) against the same search in a worker that never reads the document ahead,
# measured in turns. Also the second search, and the worker CPU spent in the half second after the
# close, which reading ahead must leave at nothing. Each is run KIVO_BENCH_RUNS times (5 by default);
# prints each run and the medians with their ratios. Figures are printed, never checked.
# usage: [KIVO_BENCH_RUNS=5] bench/compare_read_ahead.sh [document.pdf]   (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for tool in mutool qpdf; do
    command -v "$tool" >/dev/null || { echo "compare_read_ahead: $tool is not installed" >&2; exit 2; }
done
source "$root/bench/common.sh" compare_read_ahead "${1:-}"
# KIVO_BENCH_BIN: a folder with another build's worker to measure instead.
bin="${KIVO_BENCH_BIN:-$root/build/bin}"
runs="${KIVO_BENCH_RUNS:-5}"
query="binormalenvektor"

big="$out/nine-times.pdf"
qpdf --empty --pages "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" -- "$big"

declare -A lists
# The CPU milliseconds, user and system, of one command: the mean of ten, as time(1) counts in
# hundredths of a second.
cpu_ms() {
    /usr/bin/time -f '%U %S' -o "$out/time" bash -c 'for _ in 1 2 3 4 5 6 7 8 9 10; do "$@" >/dev/null; done' \
        cpu_ms "$@" 2>/dev/null
    awk '{ printf "%.1f", ($1 + $2) * 100 }' "$out/time"
}
read_run() {
    local prefix="$1" key value
    shift
    while IFS='=' read -r key value; do lists[$prefix$key]+="$value"$'\n'; done < <("$@" 2>/dev/null)
}
for run in $(seq "$runs"); do
    lists[mutool]+="$(cpu_ms mutool pages "$big")"$'\n'
    read_run "" "$root/build/bin/read_ahead_bench" --worker "$bin/kivo-pdf-worker" "$big" "$query"
    read_run control_ "$root/build/bin/read_ahead_bench" --never-read-ahead --worker "$bin/kivo-pdf-worker" \
        "$big" "$query"
    nth() { printf '%s' "${lists[$1]}" | sed -n "${run}p"; }
    printf 'run %s: open + inspect %s ms CPU (mutool pages %s ms); first search %s ms, never read ahead %s ms; load %s\n' \
        "$run" "$(nth open_inspect_cpu_ms)" "$(nth mutool)" "$(nth first_search_ms)" \
        "$(nth control_first_search_ms)" "$(uptime | sed 's/.*load average: //')"
done
m() { printf '%s' "${lists[$1]}" | median; }
pages=$(printf '%s' "${lists[pages]}" | head -1)
printf 'compare_read_ahead: %s pages, medians of %s runs\n' "$pages" "$runs"
printf '  open + inspect: %s ms CPU (%s ms wall), mutool pages: %s ms CPU, ratio %s (goal <= 1.0)\n' \
    "$(m open_inspect_cpu_ms)" "$(m open_inspect_ms)" "$(m mutool)" \
    "$(calc "$(m open_inspect_cpu_ms) / $(m mutool)")"
printf '  first search after open: %s ms (%s ms CPU), never read ahead: %s ms (%s ms CPU), ratio %s (goal <= 1.2)\n' \
    "$(m first_search_ms)" "$(m first_search_cpu_ms)" "$(m control_first_search_ms)" \
    "$(m control_first_search_cpu_ms)" "$(calc "$(m first_search_ms) / $(m control_first_search_ms)")"
printf '  second search: %s ms, never read ahead: %s ms\n' "$(m second_search_ms)" "$(m control_second_search_ms)"
printf '  worker CPU in the half second after the close: %s ms\n' "$(m closed_idle_cpu_ms)"
