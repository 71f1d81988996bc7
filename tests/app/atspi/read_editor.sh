#!/usr/bin/env bash
# Reads the editor over the accessibility bus: a private session bus (which starts the accessibility bus
# and any key store on demand) and a virtual X server of its own with a window manager, which gives the
# editor's window the keyboard as a desktop does, under a scratch home, so nothing of the desktop or the
# home the tests run in is touched.
# Usage: read_editor.sh <path of kivo-pdf>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/kivo-atspi-home-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
HOME="$scratch" dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1000x24" \
    "$here/../with_window_manager.sh" /usr/bin/python3 "$here/read_editor.py" "$1"
