#!/usr/bin/env bash
# The editor beside four viewers people use, as a person sees them on a real X server (Xvfb with a window
# manager, every window maximised on a 1600 × 1000 screen): screen_watch reads a 160 × 400 rectangle in the
# middle of the page area back every ~8 ms, and each figure comes from the frames it saw.
#   start-up   from making the process to the first frame that is the settled first page, for a 1-page
#              document (the sample's first page) and for the 117-page sample;
#   zoom       from 150 % to 400 % on page 93 of the sample in one action (the editor's zoom menu, the
#              viewer's zoom field; the other viewer's zoom key, five steps, timed from the last): the first
#              changed frame ("visible") and the last ("sharp");
#   paging     the next-page key held over the 117 pages, 116 presses about 31 ms apart: how many distinct frames
#              were painted, and how long after the last press the last page showed;
#   busy       the same held key with 8 busy loops on the machine (the editor and qpdfview only);
#   turn       one next-page press on page 1: from the key to the first frame of the new page;
#   search     "binormalenvektor" typed into the find field, from the Return to the first changed frame;
#   memory     the proportional set size (PSS) of the viewer's process tree after the held key went
#              through every page;
#   idle       CPU time and wake-ups (context switches of every thread of the tree) over 30 s with the
#              document open and nothing done (KIVO_BENCH_IDLE_SECONDS sets the length);
#   list       End in the page list of the sample nine times over (1,053 pages): from the key to the last
#              change of the list's rectangle, top to foot (the editor and Okular only, whose lists show thumbnails).
#   scan       a scanned document made here with img2pdf (17 A4 pages, each one colour JPEG of 2480 × 3508
#              pixels at 300 dpi, about 50 MB): the PSS of the tree after the next-page key went through
#              every page, a press every 1.6 s so that each viewer paints each page, and one next-page
#              press on page 1 as `turn` times it.
# Each is run KIVO_BENCH_RUNS times (5 by default), the viewers in a random order in every round;
# KIVO_BENCH_ONLY=startup, zoom, paging, busy, turn, search, memory, idle, list or scan runs that figure
# alone.
# Printed: the medians, and each goal's ratio as the median of the ratios within each round, so a slow
# round weighs on both sides alike.
# Set-up: installs what it needs from Debian when missing (Xvfb, openbox, xdotool, the viewers, the X
# library screen_watch is built with); a viewer that cannot be installed is said to be missing and its
# figures print as "-". Figures are printed, never checked.
# usage: [KIVO_BENCH_RUNS=5] [KIVO_BENCH_BIN=folder] [KIVO_BENCH_ONLY=figure] [KIVO_BENCH_VIEWERS="kivo …"]
#        [KIVO_BENCH_DISPLAY=N]
#        bench/compare_viewers.sh [document.pdf]
#        (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
missing=()
for pkg in xvfb xauth openbox xdotool qpdfview mupdf libx11-dev qpdf img2pdf python3-pil; do installed "$pkg" || missing+=("$pkg"); done
if ((${#missing[@]})); then
    echo "compare_viewers: installing ${missing[*]}" >&2
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The two larger viewers, one at a time: either may be left out where it cannot be installed.
for pkg in okular evince; do
    installed "$pkg" && continue
    echo "compare_viewers: installing $pkg" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$pkg" >&2 ||
        echo "compare_viewers: $pkg could not be installed" >&2
done

source "$root/bench/common.sh" compare_viewers "${1:-}"
# KIVO_BENCH_BIN: another build's programs (kivo-pdf beside its worker and screen_watch), an older one say.
bin="${KIVO_BENCH_BIN:-$root/build/bin}"
runs="${KIVO_BENCH_RUNS:-5}"
only="${KIVO_BENCH_ONLY:-}"
region=(620 300 160 400)

one_page="$out/one-page.pdf"
page93="$out/page-93.pdf"
long="$out/nine-times.pdf"
qpdf "$doc" --pages "$doc" 1 -- "$one_page"
qpdf "$doc" --pages "$doc" 93 -- "$page93"
qpdf --empty --pages "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" "$doc" -- "$long"
idle_seconds="${KIVO_BENCH_IDLE_SECONDS:-30}"

# The scanned document: each page a paper-coloured sheet of noise with lines of word-sized blocks and a
# coloured picture, so that its JPEG is as large as a real scan's (about 3 MB at quality 88).
scan="$out/scanned.pdf"
make_scan() {
    local page
    for page in $(seq -w 17); do
        /usr/bin/python3 - "$out/scan-$page.jpg" "$page" <<'PY'
import random, sys
from PIL import Image, ImageChops, ImageDraw
width, height = 2480, 3508
random.seed(int(sys.argv[2]))
sheet = Image.new("RGB", (width, height), (238, 232, 218))
draw = ImageDraw.Draw(sheet)
for line in range(60):
    x, y = 200, 200 + line * 52
    while x < width - 250:
        word = random.randint(40, 180)
        draw.rectangle([x, y, x + word, y + 26], fill=(40, 40, 60))
        x += word + 22
draw.rectangle([300, 2400, 2100, 3300], fill=(random.randint(0, 255), 120, 80))
noise = Image.effect_noise((width, height), 40).convert("RGB")
ImageChops.blend(sheet, noise, 0.25).save(sys.argv[1], "JPEG", quality=88, dpi=(300, 300))
PY
    done
    img2pdf "$out"/scan-*.jpg -o "$scan"
    rm -f "$out"/scan-*.jpg
}
[[ -z "$only" || "$only" == scan ]] && make_scan
query=binormalenvektor

# A private X server of our own with a window manager that maximises every window.
mkdir -p "$out/openbox"
cat >"$out/openbox/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <applications>
    <application class="*" type="normal"><maximized>yes</maximized><decor>no</decor></application>
  </applications>
</openbox_config>
XML
# KIVO_BENCH_DISPLAY: the display number to use, when the machine hands them out.
number="${KIVO_BENCH_DISPLAY:-$((200 + RANDOM % 600))}"
while [[ -e "/tmp/.X11-unix/X$number" ]]; do number=$((number + 1)); done
Xvfb ":$number" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$number"
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
openbox --config-file "$out/openbox/rc.xml" >/dev/null 2>&1 &
openbox_pid=$!
viewer_pid=""
cleanup() {
    [[ -n "$viewer_pid" ]] && kill "$viewer_pid" 2>/dev/null
    kill "$openbox_pid" "$xvfb_pid" 2>/dev/null
    rm -rf "$out"
}
trap cleanup EXIT
sleep 0.5

now() { date +%s%3N; }

# The command that starts `viewer` on a file, each run in a fresh home so nothing is remembered.
launch_command() {
    local viewer="$1" file="$2" home="$out/home-$RANDOM$RANDOM"
    mkdir -p "$home/config" "$home/support" "$home/tmp"
    case "$viewer" in
        kivo) echo env HOME="$home" XDG_CONFIG_HOME="$home/config" KIVO_PDF_SUPPORT_DIR="$home/support" \
                  TMPDIR="$home/tmp" "$bin/kivo-pdf" "$file" ;;
        qpdfview) echo env HOME="$home" XDG_CONFIG_HOME="$home/config" qpdfview "$file" ;;
        mupdf) echo env HOME="$home" mupdf "${@:3}" "$file" ;;
        okular) echo env HOME="$home" XDG_CONFIG_HOME="$home/config" okular "$file" ;;
        evince) echo env HOME="$home" XDG_CONFIG_HOME="$home/config" evince "$file" ;;
    esac
}

stop_viewer() {
    [[ -n "$viewer_pid" ]] && kill "$viewer_pid" 2>/dev/null && wait "$viewer_pid" 2>/dev/null || true
    viewer_pid=""
    sleep 0.5
}

# Milliseconds from the start of the process to the first frame that is the settled picture.
startup_once() {
    local viewer="$1" file="$2" log="$out/watch.txt"
    xdotool mousemove 0 999
    # shellcheck disable=SC2046
    "$bin/screen_watch" "${region[@]}" 5 $(launch_command "$viewer" "$file") >"$log"
    viewer_pid=$(awk '$1 == "start" { print $3 }' "$log")
    stop_viewer
    awk '$1 == "start" { s = $2 } $1 == "frame" { t[++n] = $2; h[n] = $3 } $1 == "end" { final = $3 }
         END { for (i = 1; i <= n; ++i) if (h[i] == final) { print t[i] - s; exit } }' "$log"
}

# Starts a viewer on a file in the background and waits for it to settle.
open_settled() {
    local viewer="$1" file="$2"
    shift 2
    xdotool mousemove 0 999
    # shellcheck disable=SC2046
    $(launch_command "$viewer" "$file" "$@") >/dev/null 2>&1 &
    viewer_pid=$!
    sleep 3
}

# Frames seen while `action` runs, into $out/watch.txt; `region` names the rectangle watched.
watched() {
    local seconds="$1"
    shift
    "$bin/screen_watch" "${region[@]}" "$seconds" >"$out/watch.txt" &
    local watch=$!
    sleep 0.3
    "$@"
    wait "$watch"
}

zoom_kivo() {
    # The zoom menu's button, then its last entry, 400 %.
    xdotool mousemove 1103 80 click 1
    sleep 0.6
    xdotool key Up
    sleep 0.3
    now >"$out/moment"
    xdotool key Return
}
zoom_qpdfview() {
    xdotool mousemove 290 41 click --repeat 3 1 key ctrl+a type "400"
    now >"$out/moment"
    xdotool key Return
}
zoom_mupdf() {
    xdotool key --delay 40 plus plus plus plus
    now >"$out/moment"
    xdotool key plus
}

zoom_once() {
    local viewer="$1"
    case "$viewer" in
        kivo) open_settled kivo "$page93"; xdotool key ctrl+equal; sleep 0.3; xdotool key ctrl+equal ;;
        qpdfview) open_settled qpdfview "$page93"
                  xdotool mousemove 290 41 click --repeat 3 1 key ctrl+a type "150"; xdotool key Return ;;
        mupdf) open_settled mupdf "$page93" -r 108 ;;
    esac
    sleep 2
    watched 5 "zoom_$viewer"
    stop_viewer
    awk -v m="$(cat "$out/moment")" '$1 == "frame" && $2 > m { if (!v) v = $2 - m; s = $2 - m }
         END { print (v ? v : "-"), (s ? s : "-") }' "$out/watch.txt"
}

# xdotool waits its delay between a key's press and release as well as after it, and between the
# events of a chord: the delays give about 32 presses a second either way.
hold_key() {
    local delay=30
    [[ "$1" == *+* ]] && delay=15
    now >"$out/pressed"
    xdotool key --delay "$delay" --repeat 115 "$1"
    # The last press on its own, so its moment is known whatever xdotool waits after it.
    now >"$out/moment"
    xdotool key "$1"
}

# Each viewer's next-page key.
next_key() {
    case "$1" in
        kivo) echo ctrl+Down ;;
        qpdfview) echo Right ;;
        mupdf | okular) echo Next ;;
        evince) echo ctrl+Next ;;
    esac
}

# Frames after the press and how long after the last press the last one came.
held_frames() {
    awk -v p="$(cat "$out/pressed")" -v m="$(cat "$out/moment")" \
        '$1 == "frame" && $2 > p { ++n; last = $2 } END { d = last > m ? last - m : 0; print n + 0, d }' \
        "$out/watch.txt"
}

# The first changed frame after the moment, in ms, or "-".
first_change() {
    awk -v m="$(cat "$out/moment")" '$1 == "frame" && $2 > m { print $2 - m; found = 1; exit }
         END { if (!found) print "-" }' "$out/watch.txt"
}

paging_once() {
    local viewer="$1"
    open_settled "$viewer" "$doc"
    watched 9 hold_key "$(next_key "$viewer")"
    stop_viewer
    held_frames
}

# The held key with `busy` loops spinning on the machine meanwhile.
busy_once() {
    local viewer="$1" loops=() i
    open_settled "$viewer" "$doc"
    for i in $(seq 8); do
        bash -c 'while :; do :; done' &
        loops+=($!)
    done
    watched 9 hold_key "$(next_key "$viewer")"
    kill "${loops[@]}" 2>/dev/null
    wait "${loops[@]}" 2>/dev/null || true
    stop_viewer
    held_frames
}

# Without --delay xdotool waits half its default delay between a chord's modifier and its key, so a
# viewer whose next-page key is a chord (ctrl+Down, ctrl+Next) was timed from a moment 6 ms before
# its key was pressed; a person presses the modifier first and feels the time from the key.
press_next() {
    now >"$out/moment"
    xdotool key --delay 0 "$(next_key "$1")"
}

turn_once() {
    local viewer="$1"
    open_settled "$viewer" "$doc"
    watched 2 press_next "$viewer"
    stop_viewer
    first_change
}

# The find field, the query typed, then Return as the moment.
find_kivo() { xdotool key ctrl+f; sleep 0.3; xdotool type "$query"; sleep 0.3; now >"$out/moment"; xdotool key Return; }
find_qpdfview() { find_kivo; }
find_okular() { find_kivo; }
find_evince() { find_kivo; }
find_mupdf() { xdotool key slash; sleep 0.3; xdotool type "$query"; sleep 0.3; now >"$out/moment"; xdotool key Return; }

search_once() {
    local viewer="$1"
    open_settled "$viewer" "$doc"
    watched 5 "find_$viewer"
    stop_viewer
    first_change
}

# The process and all its descendants.
tree() {
    local pid="$1" child
    echo "$pid"
    for child in $(pgrep -P "$pid"); do tree "$child"; done
}

# Proportional set size of the tree, in MB.
tree_pss() {
    local pid total=0 kb
    for pid in $(tree "$1"); do
        kb=$(awk '$1 == "Pss:" { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)
        total=$((total + ${kb:-0}))
    done
    calc "$total / 1024"
}

memory_once() {
    local viewer="$1"
    open_settled "$viewer" "$doc"
    hold_key "$(next_key "$viewer")"
    sleep 2
    tree_pss "$viewer_pid"
    stop_viewer
}

# PSS after every page of the scanned document was shown, one press at a time.
scan_memory_once() {
    local viewer="$1" key
    key=$(next_key "$viewer")
    open_settled "$viewer" "$scan"
    for _ in $(seq 16); do
        xdotool key --delay 0 "$key"
        sleep 1.6
    done
    tree_pss "$viewer_pid"
    stop_viewer
}

scan_turn_once() {
    local viewer="$1"
    open_settled "$viewer" "$scan"
    watched 3 press_next "$viewer"
    stop_viewer
    first_change
}

# One line per thread of the tree, "tid switches", and a last line "cpu ticks" of every process of
# the tree, in which the threads that ended are counted too.
tree_activity() {
    local pid task ticks=0 t
    for pid in $(tree "$1"); do
        t=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0)
        ticks=$((ticks + ${t:-0}))
        for task in /proc/"$pid"/task/*; do
            awk -v tid="${task##*/}" '/ctxt_switches/ { n += $2 } END { print tid, n + 0 }' "$task/status" 2>/dev/null
        done
    done
    echo "cpu $ticks"
}

# CPU ms over the idle stretch and wake-ups a second. A thread that ends in the stretch (a pool's idle
# thread retiring) takes its count with it, so wake-ups are those of the threads alive at its end:
# the growth of those that were there at its start, and all of those that came since.
idle_once() {
    local viewer="$1"
    open_settled "$viewer" "$doc"
    sleep 2
    tree_activity "$viewer_pid" >"$out/idle-start"
    sleep "$idle_seconds"
    tree_activity "$viewer_pid" >"$out/idle-end"
    stop_viewer
    awk -v hz="$(getconf CLK_TCK)" -v seconds="$idle_seconds" '
        NR == FNR { before[$1] = $2; next }
        $1 == "cpu" { ticks = $2 - before["cpu"]; next }
        { switches += $2 - ($1 in before ? before[$1] : 0) }
        END { printf "%.1f %.1f\n", ticks * 1000 / hz, switches / seconds }' "$out/idle-start" "$out/idle-end"
}

# The page list: the editor's on the left of its window, Okular's thumbnails panel on its left too.
list_kivo() { xdotool mousemove 120 300 click 1; sleep 0.5; now >"$out/moment"; xdotool key End; }
list_okular() { xdotool mousemove 120 300 click 1; sleep 0.5; now >"$out/moment"; xdotool key End; }

list_once() {
    local viewer="$1" saved=("${region[@]}")
    open_settled "$viewer" "$long"
    sleep 2
    # Every row either list shows below its heading, down to the window's foot, and nothing beside
    # them (the editor's status line starts at x 220): the rows at the end are what End is for.
    region=(20 150 150 835)
    watched 5 "list_$viewer"
    region=("${saved[@]}")
    stop_viewer
    awk -v m="$(cat "$out/moment")" '$1 == "frame" && $2 > m { last = $2 - m } END { print (last ? last : "-") }' \
        "$out/watch.txt"
}

declare -A figures
# One figure of one viewer in one round: "$figure $viewer" collects a line per round, "-" for none.
record() { figures["$1"]+="$2"$'\n'; }
wanted() { [[ "$only" == "" || "$only" == "$1" ]]; }

viewers=()
# KIVO_BENCH_VIEWERS: the viewers to run, all five by default.
for viewer in ${KIVO_BENCH_VIEWERS:-kivo qpdfview mupdf okular evince}; do
    if [[ "$viewer" == kivo ]] || command -v "$viewer" >/dev/null; then
        viewers+=("$viewer")
    else
        echo "compare_viewers: $viewer is missing; its figures print as -" >&2
    fi
done
has() { [[ " ${viewers[*]} " == *" $1 "* ]]; }
for run in $(seq "$runs"); do
    for viewer in $(printf '%s\n' "${viewers[@]}" | shuf); do
        if wanted startup; then
            record "start1 $viewer" "$(startup_once "$viewer" "$one_page")"
            record "start117 $viewer" "$(startup_once "$viewer" "$doc")"
        fi
        if wanted zoom && [[ "$viewer" != okular && "$viewer" != evince ]]; then
            read -r visible sharp < <(zoom_once "$viewer")
            record "visible $viewer" "$visible"
            record "sharp $viewer" "$sharp"
        fi
        if wanted paging; then
            read -r frames delay < <(paging_once "$viewer")
            record "frames $viewer" "$frames"
            record "delay $viewer" "$delay"
        fi
        if wanted busy && [[ "$viewer" == kivo || "$viewer" == qpdfview ]]; then
            read -r frames delay < <(busy_once "$viewer")
            record "busyframes $viewer" "$frames"
        fi
        wanted turn && record "turn $viewer" "$(turn_once "$viewer")"
        wanted search && record "search $viewer" "$(search_once "$viewer")"
        wanted memory && record "memory $viewer" "$(memory_once "$viewer")"
        if wanted idle; then
            read -r cpu wakeups < <(idle_once "$viewer")
            record "idlecpu $viewer" "$cpu"
            record "wakeups $viewer" "$wakeups"
        fi
        if wanted scan; then
            record "scanmemory $viewer" "$(scan_memory_once "$viewer")"
            record "scanturn $viewer" "$(scan_turn_once "$viewer")"
        fi
        if wanted list && [[ "$viewer" == kivo || "$viewer" == okular ]]; then
            record "list $viewer" "$(list_once "$viewer")"
        fi
    done
    echo "compare_viewers: run $run of $runs done" >&2
done

med() { printf '%s' "${figures["$1 $2"]:-}" | { grep -v '^-\?$' || true; } | median; }
# The per-round ratios of the editor's figure to `against` (a viewer, "fastest" of the peers that
# round, the smallest figure among them, or "lighter", the smaller of qpdfview's and mupdf's), one a
# line, and their median.
round_ratios() {
    local key="$1" against="$2" k peers=() v
    mapfile -t k < <(printf '%s' "${figures["$key kivo"]:-}")
    for v in qpdfview mupdf okular evince; do
        [[ "$against" == fastest || "$against" == "$v" ]] && peers+=("$v")
        [[ "$against" == lighter && ("$v" == qpdfview || "$v" == mupdf) ]] && peers+=("$v")
    done
    local i
    for ((i = 0; i < ${#k[@]}; ++i)); do
        local best="-" p line
        for p in "${peers[@]}"; do
            line=$(printf '%s' "${figures["$key $p"]:-}" | sed -n "$((i + 1))p")
            [[ -z "$line" || "$line" == "-" ]] && continue
            if [[ "$best" == "-" ]] || awk -v a="$line" -v b="$best" 'BEGIN { exit !(a < b) }'; then best="$line"; fi
        done
        [[ "$best" == "-" || "${k[$i]}" == "-" ]] && continue
        awk -v a="${k[$i]}" -v b="$best" 'BEGIN { if (b + 0 != 0) printf "%.3f\n", a / b }'
    done
}
round_ratio() { round_ratios "$@" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'; }
printf 'compare_viewers: %s, medians of %s runs (ms unless said)\n' "$doc" "$runs"
printf '%-44s %8s %8s %8s %8s %8s  %s\n' "what" kivo qpdfview mupdf okular evince "ratio"
# A goal's row: the medians, then the median of the editor's per-round ratios to `against` with the goal.
goal() {
    local name="$1" key="$2" against="$3" target="$4" v line
    line=$(printf '%-44s' "$name")
    for v in kivo qpdfview mupdf okular evince; do line+=$(printf ' %8s' "$(med "$key" "$v")"); done
    printf '%s  %s (goal %s)\n' "$line" "$(round_ratio "$key" "$against")" "$target"
    printf '%-44s  %s\n' "  each round's ratio" "$(round_ratios "$key" "$against" | awk '{ printf "%.2f ", $1 }')"
}
row() {
    local name="$1" key="$2" peer="$3"
    local k q m
    k=$(med "$key" kivo); q=$(med "$key" qpdfview); m=$(med "$key" mupdf)
    local against
    case "$peer" in
        qpdfview) against="$q" ;;
        fastest) against=$(printf '%s\n%s\n' "$q" "$m" | grep -v '^-$' | sort -n | head -1) ;;
    esac
    local extra=""
    # The editor waits a quarter second before it opens a launch file, as it is designed to; the goal is
    # the time beyond that against the fastest viewer.
    if [[ "$peer" == fastest && "$k" != "-" ]]; then
        extra="  (beyond the quarter second: $(ratio "$(awk -v k="$k" 'BEGIN { print k - 250 }')" "${against:--}"))"
    fi
    printf '%-44s %8s %8s %8s %8s %8s  %s%s\n' "$name" "$k" "$q" "$m" "$(med "$key" okular)" "$(med "$key" evince)" \
        "$(ratio "$k" "${against:--}")" "$extra"
}
if [[ "$only" == "" || "$only" == zoom ]]; then
    row "zoom 150 % -> 400 %: zoomed page visible" visible qpdfview
    row "zoom 150 % -> 400 %: sharp" sharp qpdfview
fi
if [[ "$only" == "" || "$only" == paging ]]; then
    row "held next-page key: distinct frames" frames qpdfview
    row "held next-page key: delay after last press" delay qpdfview
fi
if [[ "$only" == "" || "$only" == startup ]]; then
    row "start to first page, 117 pages" start117 fastest
    row "start to first page, 1 page" start1 fastest
fi
wanted search && goal "search \"$query\", first hit shown" search mupdf "<= 1.2 x mupdf"
wanted turn && goal "next page: key -> new page painted" turn fastest "<= 1.2 x the fastest"
wanted memory && goal "memory after all pages, PSS of the tree (MB)" memory evince "<= 1.2 x Evince"
wanted busy && goal "held key, 8 busy loops: distinct frames" busyframes qpdfview ">= 0.8 x qpdfview"
wanted idle && goal "idle ${idle_seconds} s with a document: CPU ms" idlecpu fastest "no periodic wake-up"
wanted idle && goal "idle: wake-ups a second" wakeups fastest "no periodic wake-up"
wanted list && goal "End in the 1,053-page list: list final" list okular "<= Okular"
wanted scan && goal "scanned 17 pages: PSS after every page (MB)" scanmemory lighter "<= 1.2 x the lighter"
wanted scan && goal "scanned: next page: key -> new page painted" scanturn fastest "<= 1.2 x the fastest"
true
