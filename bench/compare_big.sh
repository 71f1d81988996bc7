#!/usr/bin/env bash
# A long document beside a short one and beside a peer tool: the shared 117-page sample nine times over
# (1,053 pages, made with qpdf). First `add_highlight` (each followed by `undo`, cycling over the first four
# pages, recovery checkpoints on, the answer read and parsed by the client as the editor does) against the
# same edit on the 4-page sample pdflatex-4-pages.pdf: what a person feels. Then the same against the first
# four pages of the long document, so that both edits change the same pages and the ratio is what the length
# alone costs; then undo; then open and inspect by the worker against `mutool pages` listing every page's boxes;
# then Save a Copy of the long document, the worker's CPU (the median of five in each run), against the time
# `mutool clean` takes to write the same file anew.
# Each is run KIVO_BENCH_RUNS times (5 by default); prints the medians and their ratios, the add_highlight one
# against the 4-page sample first and for each run too. Figures are printed, never checked.
# usage: [KIVO_BENCH_RUNS=5] bench/compare_big.sh [document.pdf]   (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for tool in mutool qpdf; do
    command -v "$tool" >/dev/null || { echo "compare_big: $tool is not installed" >&2; exit 2; }
done
source "$root/bench/common.sh" compare_big "${1:-}"
# KIVO_BENCH_BIN: a folder with another build's worker, an older one say, to measure instead.
bin="${KIVO_BENCH_BIN:-$root/build/bin}"
runs="${KIVO_BENCH_RUNS:-5}"
sample="$(dirname "$doc")/pdflatex-4-pages.pdf"
[[ -f "$sample" ]] || { echo "compare_big: $sample not found" >&2; exit 2; }

big="$out/nine-times.pdf"
qpdf --empty --pages "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" -- "$big"
small="$out/first-four.pdf"
qpdf --empty --pages "$doc" 1-4 -- "$small"

# Each pair is edited in turns by one worker, so both meet the machine as it is at that moment.
declare -A lists
for _ in $(seq "$runs"); do
    lists[mutool]+="$(calc "$(seconds mutool pages "$big") * 1000")"$'\n'
    lists[clean]+="$(calc "$(seconds mutool clean "$big" "$out/clean.pdf") * 1000")"$'\n'
    while IFS='=' read -r key value; do
        case $key in
            highlight_big_ms) lists[highlight_big_ms]+="$value"$'\n' ;;
            undo_big_ms) lists[undo_big_ms]+="$value"$'\n' ;;
            highlight_small_ms) lists[sample]+="$value"$'\n' ;;
            undo_small_ms) lists[sample_undo]+="$value"$'\n' ;;
            *) lists[$key]+="$value"$'\n' ;;
        esac
    done < <("$root/build/bin/worker_bench" --big "$sample" --worker "$bin/kivo-pdf-worker" "$big" 2>/dev/null)
    while IFS='=' read -r key value; do
        case $key in
            highlight_big_ms) lists[beside_first_four]+="$value"$'\n' ;;
            highlight_small_ms | undo_small_ms) lists[$key]+="$value"$'\n' ;;
        esac
    done < <("$root/build/bin/worker_bench" --big "$small" --worker "$bin/kivo-pdf-worker" "$big" 2>/dev/null)
done
m() { printf '%s' "${lists[$1]}" | median; }
# The same to a thousandth, for the ratios: a 4-page edit of 3 ms rounded to a tenth moves them by 2 %.
exact() {
    printf '%s' "${lists[$1]}" | sort -n | awk '{ v[NR] = $1 }
        END { if (NR == 0) print "-"; else printf "%.3f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}
pages=$(printf '%s' "${lists[pages]}" | head -1)
# The comparison a person feels comes first, each run's ratio beside the median's.
printf 'compare_big: add_highlight on %s pages %s ms, on the 4-page sample %s ms, ratio %s (medians of %s runs)\n' \
    "$pages" "$(m highlight_big_ms)" "$(m sample)" "$(calc "$(exact highlight_big_ms) / $(exact sample)")" "$runs"
lists[ratios]=$(paste -d' ' <(printf '%s' "${lists[highlight_big_ms]}") <(printf '%s' "${lists[sample]}") |
    awk '{ printf "%.2f\n", $1 / $2 }')
printf '  each run: %s; their median %s\n' "$(printf '%s' "${lists[ratios]}" | paste -sd' ' | sed 's/ /, /g')" \
    "$(exact ratios)"
printf '  (%s nine times; taken in turns with its own first four pages: %s ms against %s ms, ratio %s)\n' \
    "$doc" "$(m beside_first_four)" "$(m highlight_small_ms)" "$(calc "$(exact beside_first_four) / $(exact highlight_small_ms)")"
printf '  undo: %s ms, on the 4-page sample %s ms, ratio %s; on its first four pages %s ms\n' "$(m undo_big_ms)" \
    "$(m sample_undo)" "$(calc "$(m undo_big_ms) / $(m sample_undo)")" "$(m undo_small_ms)"
printf '  open + inspect: %s ms, mutool pages: %s ms, ratio %s\n' "$(m open_inspect_ms)" "$(m mutool)" \
    "$(calc "$(m open_inspect_ms) / $(m mutool)")"
printf '  save a copy: %s ms of worker CPU, mutool clean: %s ms, ratio %s (goal <= 1.5)\n' "$(m save_copy_cpu_ms)" \
    "$(m clean)" "$(calc "$(exact save_copy_cpu_ms) / $(exact clean)")"
