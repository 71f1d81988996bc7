#!/usr/bin/env bash
# Renders every page of one document at 150 dpi with our PDFium build and with two peer tools,
# in the same run, and prints the three times and the ratios.
# usage: bench/compare_render.sh [document.pdf]   (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/bench/common.sh" compare_render "${1:-}"
bench="$root/build/bin/render_bench"

# One iteration of the on-demand benchmark is one whole-document render.
ours_ms=$(KIVO_BENCH_PDF="$doc" "$bench" --benchmark_filter=BM_RenderOnDemand --benchmark_min_time=0 \
          --benchmark_format=csv 2>/dev/null | awk -F, '/BM_RenderOnDemand/ {print $4; exit}')
ours=$(calc "$ours_ms / 1000")
poppler=$(seconds pdftoppm -r 150 "$doc" "$out/p")
rm -f "$out"/p*
mupdf=$(seconds mutool draw -q -r 150 -o "$out/m%d.pnm" "$doc")
pages=$(pdfinfo "$doc" 2>/dev/null | awk '/^Pages:/ {print $2}')

printf 'document: %s (%s pages, 150 dpi)\n' "$doc" "$pages"
printf '%-28s %8.3f s  %7.1f pages/s\n' "kivo (PDFium, render only)" "$ours" "$(calc "$pages / $ours")"
printf '%-28s %8.3f s  %7.1f pages/s\n' "pdftoppm (writes PPM)" "$poppler" "$(calc "$pages / $poppler")"
printf '%-28s %8.3f s  %7.1f pages/s\n' "mutool draw (writes PNM)" "$mupdf" "$(calc "$pages / $mupdf")"
printf 'ratio pdftoppm / kivo: %.2f\n' "$(calc "$poppler / $ours")"
printf 'ratio mutool / kivo:   %.2f\n' "$(calc "$mupdf / $ours")"
