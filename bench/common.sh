# Shared set-up of the comparison scripts: sourced after `root` is set, with the script's name and
# the document argument. Leaves `doc` (checked), `out` (a temporary folder removed at exit), and
# the helpers `calc` (floating-point arithmetic), `seconds` (wall time of a command) and `median` (of the
# numbers on standard input, one a line, to a tenth; "-" without any).
name="$1"
doc="${2:-$root/../shared/corpus/geotopo.pdf}"
[[ -f "$doc" ]] || { echo "$name: $doc not found" >&2; exit 2; }
# With KIVO_BENCH_BIN naming a folder of programs, those are measured as they are: nothing is built.
[[ -n "${KIVO_BENCH_BIN:-}" ]] || "$root/scripts/build.sh" >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); calc "$e - $s"; }
median() {
    sort -n | awk '{ v[NR] = $1 }
        END { if (NR == 0) print "-"; else printf "%.1f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}
