#!/usr/bin/env bash
# Times, in the same run, what a session does for a whole document against two peer tools: every
# page rendered to PNG at 150 dpi (ours through the session, writing one PNG per page, against
# `mutool draw` writing PNGs), and the text of every page (against `pdftotext`). Prints the times
# side by side with the ratios. Our pages are rendered one after another: PDFium runs under one
# process-wide lock, so they cannot be spread over cores. Figures are printed, never checked.
# usage: bench/compare_sessions.sh [document.pdf]   (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for tool in mutool pdftotext; do
    command -v "$tool" >/dev/null || { echo "compare_sessions: $tool is not installed" >&2; exit 2; }
done
source "$root/bench/common.sh" compare_sessions "${1:-}"
bench="$root/build/bin/session_bench"
# One iteration is one pass over the whole document; the CSV's fourth column is its real time in
# ms. The benchmarks measure real time, so their names end in "/real_time".
ours() {
    KIVO_BENCH_PDF="$doc" "$bench" --benchmark_filter="^$1/" --benchmark_min_time=0 --benchmark_format=csv \
        2>/dev/null | awk -F, -v name="$1/" 'index($1, name) == 1 || index($1, "\"" name) == 1 {print $4; exit}'
}

render_ms=$(ours BM_RenderAllPagesToPng)
text_ms=$(ours BM_ExtractTextOfAllPages)
[[ -n "$render_ms" && -n "$text_ms" ]] || { echo "compare_sessions: session_bench gave no figures" >&2; exit 1; }
our_render=$(calc "$render_ms / 1000")
our_text=$(calc "$text_ms / 1000")
mupdf=$(seconds mutool draw -q -r 150 -o "$out/out%d.png" "$doc")
rm -f "$out"/out*.png
poppler=$(seconds pdftotext "$doc" "$out/out.txt")
pages=$(pdfinfo "$doc" 2>/dev/null | awk '/^Pages:/ {print $2}')

printf 'document: %s (%s pages)\n' "$doc" "$pages"
printf 'render every page to PNG at 150 dpi (target: kivo at least 3x faster than mutool)\n'
printf '  %-26s %8.3f s  %7.1f pages/s\n' "kivo session (one lock)" "$our_render" "$(calc "$pages / $our_render")"
printf '  %-26s %8.3f s  %7.1f pages/s\n' "mutool draw -r 150 (PNG)" "$mupdf" "$(calc "$pages / $mupdf")"
printf '  ratio mutool / kivo: %.2f\n' "$(calc "$mupdf / $our_render")"
printf 'text of every page (target: kivo at least as fast as pdftotext)\n'
printf '  %-26s %8.3f s  %7.1f pages/s\n' "kivo session" "$our_text" "$(calc "$pages / $our_text")"
printf '  %-26s %8.3f s  %7.1f pages/s\n' "pdftotext" "$poppler" "$(calc "$pages / $poppler")"
printf '  ratio pdftotext / kivo: %.2f\n' "$(calc "$poppler / $our_text")"
