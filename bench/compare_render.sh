#!/usr/bin/env bash
# Renders every page of one document to PNG at 150 dpi through the worker, one `render_page` after
# another as a client sends them, and with two peer tools writing PNG files, in the same run; prints
# the three times, the ratios, the mean PNG size, the time of one request of 64 tiles at scale 4,
# and a pixel comparison of a few of the worker's pages against the encoder it used before (which
# must find no difference). PDFium's rendering alone, without PNG, is printed for reference.
# With KIVO_BENCH_WORKER_BEFORE naming another build of the worker (an older one, say), that worker
# is measured too, in the same run, and the speed-ups against it are printed.
# Figures are printed, never checked; the machine's load moves them, so run it more than once.
# usage: [KIVO_BENCH_WORKER_BEFORE=program] bench/compare_render.sh [document.pdf]
#        (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for tool in mutool pdftoppm; do
    command -v "$tool" >/dev/null || { echo "compare_render: $tool is not installed" >&2; exit 2; }
done
source "$root/bench/common.sh" compare_render "${1:-}"
bin="$root/build/bin"

# key=value lines of worker_bench and png_compare, read into `figure_<key>` variables.
read_figures() { while IFS='=' read -r key value; do printf -v "figure_$key" '%s' "$value"; done; }

mkdir -p "$out/kivo" "$out/mutool" "$out/poppler"
before="${KIVO_BENCH_WORKER_BEFORE:-}"
if [[ -n "$before" ]]; then
    read_figures < <("$bin/worker_bench" --render --worker "$before" "$doc" 2>/dev/null)
    before_pages="$figure_page_seconds"
    before_tiles="$figure_tile_request_mean_ms"
fi
read_figures < <("$bin/worker_bench" --render --keep "$out/kivo" "$doc" 2>/dev/null)
ours="$figure_page_seconds"
mupdf=$(seconds mutool draw -q -r 150 -o "$out/mutool/m%d.png" "$doc")
poppler=$(seconds pdftoppm -r 150 -png "$doc" "$out/poppler/p")
# One iteration of the on-demand benchmark is one whole-document render.
render_ms=$(KIVO_BENCH_PDF="$doc" "$bin/render_bench" --benchmark_filter=BM_RenderOnDemand --benchmark_min_time=0 \
            --benchmark_format=csv 2>/dev/null | awk -F, '/BM_RenderOnDemand/ {print $4; exit}')
read_figures < <("$bin/png_compare" "$doc" "$out/kivo")
pages="$figure_pages"
kib() { calc "$1 / 1024"; }
mean_size() { local total; total=$(du -cb "$@" | awk 'END {print $1}'); calc "$total / $pages / 1024"; }

printf 'document: %s (%s pages, 150 dpi, PNG files)\n' "$doc" "$pages"
printf '  %-34s %8.3f s  %7.1f pages/s\n' "kivo worker, render_page each" "$ours" "$(calc "$pages / $ours")"
printf '  %-34s %8.3f s  %7.1f pages/s\n' "mutool draw -r 150" "$mupdf" "$(calc "$pages / $mupdf")"
printf '  %-34s %8.3f s  %7.1f pages/s\n' "pdftoppm -r 150 -png" "$poppler" "$(calc "$pages / $poppler")"
printf '  %-34s %8.3f s\n' "(PDFium rendering alone, no PNG)" "$(calc "$render_ms / 1000")"
printf 'ratio mutool / kivo:   %.2f   (target: at least 4)\n' "$(calc "$mupdf / $ours")"
printf 'ratio pdftoppm / kivo: %.2f\n' "$(calc "$poppler / $ours")"
printf 'mean PNG: kivo %.1f KiB, kivo before %.1f KiB (%+.1f%%; at most +15%%), mutool %.1f KiB, pdftoppm %.1f KiB\n' \
    "$(kib "$figure_mean_png_bytes")" "$(kib "$figure_before_mean_png_bytes")" \
    "$(calc "($figure_mean_png_bytes / $figure_before_mean_png_bytes - 1) * 100")" \
    "$(mean_size "$out"/mutool/*.png)" "$(mean_size "$out"/poppler/*.png)"
printf 'render_page of 64 tiles (256 px) at scale 4: mean %.1f ms, median %.1f ms over %s pages\n' \
    "$figure_tile_request_mean_ms" "$figure_tile_request_median_ms" "$figure_tile_requests"
if [[ -n "$before" ]]; then
    printf 'worker %s in the same run: pages %.3f s (%.2fx faster now), 64 tiles mean %.1f ms (%.2fx faster now)\n' \
        "$before" "$before_pages" "$(calc "$before_pages / $ours")" "$before_tiles" \
        "$(calc "$before_tiles / $figure_tile_request_mean_ms")"
fi
printf 'pixels against the encoder before: %s of %s differ on %s pages (must be 0)\n' \
    "$figure_differing_pixels" "$figure_compared_pixels" "$figure_compared_pages"
