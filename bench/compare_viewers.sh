#!/usr/bin/env bash
# The editor beside two viewers people use, as a person sees them on a real X server (Xvfb with a window
# manager, every window maximised on a 1600 × 1000 screen): screen_watch reads a 160 × 400 rectangle in the
# middle of the page area back every ~8 ms, and each figure comes from the frames it saw.
#   start-up   from making the process to the first frame that is the settled first page, for a 1-page
#              document (the sample's first page) and for the 117-page sample;
#   zoom       from 150 % to 400 % on page 93 of the sample in one action (the editor's zoom menu, the
#              viewer's zoom field; the other viewer's zoom key, five steps, timed from the last): the first
#              changed frame ("visible") and the last ("sharp");
#   paging     the next-page key held over the 117 pages, 116 presses about 31 ms apart: how many distinct frames
#              were painted, and how long after the last press the last page showed.
# Each is run KIVO_BENCH_RUNS times (5 by default); KIVO_BENCH_ONLY=startup, zoom or paging runs those
# figures alone; the medians are printed with the editor's ratio to its peer: the first viewer for zoom and
# paging, the faster of the two for start-up.
# Set-up: installs what it needs from Debian when missing (Xvfb, openbox, xdotool, both viewers, the X
# library screen_watch is built with). Figures are printed, never checked.
# usage: [KIVO_BENCH_RUNS=5] [KIVO_BENCH_BIN=folder] [KIVO_BENCH_ONLY=startup|zoom|paging] [KIVO_BENCH_DISPLAY=N]
#        bench/compare_viewers.sh [document.pdf]
#        (default: the shared 117-page sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

missing=()
for pkg in xvfb xauth openbox xdotool qpdfview mupdf libx11-dev qpdf; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    echo "compare_viewers: installing ${missing[*]}" >&2
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

source "$root/bench/common.sh" compare_viewers "${1:-}"
# KIVO_BENCH_BIN: another build's programs (kivo-pdf beside its worker and screen_watch), an older one say.
bin="${KIVO_BENCH_BIN:-$root/build/bin}"
runs="${KIVO_BENCH_RUNS:-5}"
only="${KIVO_BENCH_ONLY:-}"
region=(620 300 160 400)

one_page="$out/one-page.pdf"
page93="$out/page-93.pdf"
qpdf "$doc" --pages "$doc" 1 -- "$one_page"
qpdf "$doc" --pages "$doc" 93 -- "$page93"

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

# Frames seen while `action` runs: prints "visible sharp" in ms after the action's moment (the time in
# the file $out/moment), or with `frames` as the first word "frames delay" after the key was held.
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

paging_once() {
    local viewer="$1" key
    case "$viewer" in
        kivo) key=ctrl+Down ;;
        qpdfview) key=Right ;;
        mupdf) key=Next ;;
    esac
    open_settled "$viewer" "$doc"
    watched 9 hold_key "$key"
    stop_viewer
    awk -v p="$(cat "$out/pressed")" -v m="$(cat "$out/moment")" \
        '$1 == "frame" && $2 > p { ++n; last = $2 } END { d = last > m ? last - m : 0; print n + 0, d }' \
        "$out/watch.txt"
}

declare -A figures
record() { figures["$1"]+="$2"$'\n'; }

viewers=(kivo qpdfview mupdf)
for run in $(seq "$runs"); do
    for viewer in "${viewers[@]}"; do
        if [[ "$only" == "" || "$only" == startup ]]; then
            record "start1 $viewer" "$(startup_once "$viewer" "$one_page")"
            record "start117 $viewer" "$(startup_once "$viewer" "$doc")"
        fi
        if [[ "$only" == "" || "$only" == zoom ]]; then
            read -r visible sharp < <(zoom_once "$viewer")
            record "visible $viewer" "$visible"
            record "sharp $viewer" "$sharp"
        fi
        [[ "$only" == "" || "$only" == paging ]] || continue
        read -r frames delay < <(paging_once "$viewer")
        record "frames $viewer" "$frames"
        record "delay $viewer" "$delay"
    done
    echo "compare_viewers: run $run of $runs done" >&2
done

med() { printf '%s' "${figures["$1 $2"]}" | grep -v '^-\?$' | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'; }
printf 'compare_viewers: %s, medians of %s runs (ms unless said)\n' "$doc" "$runs"
printf '%-44s %8s %9s %7s  %s\n' "what" kivo qpdfview mupdf "ratio"
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
    printf '%-44s %8s %9s %7s  %s%s\n' "$name" "$k" "$q" "$m" "$(ratio "$k" "${against:--}")" "$extra"
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
