#!/usr/bin/env bash
# Runs a command on the X server of DISPLAY with a window manager beside it, as on a person's desktop:
# a new window is placed, framed and given the keyboard. Without openbox the command runs alone, as
# before, and says so.
# Usage: with_window_manager.sh <command> [arguments...]
set -euo pipefail
if ! command -v openbox >/dev/null 2>&1; then
    echo "note: openbox is not installed (scripts/setup.sh installs it); no window manager" >&2
    exec "$@"
fi
config="$(mktemp -d "${TMPDIR:-/tmp}/kivo-openbox-XXXXXX")"
openbox --config-file /dev/null --sm-disable >"$config/openbox.log" 2>&1 &
manager=$!
trap 'kill "$manager" 2>/dev/null; wait "$manager" 2>/dev/null; rm -rf "$config"' EXIT
# The manager owns the screen once it answers for it.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.05
done
"$@"
