#!/usr/bin/env bash
# Runs a test program as on a person's desktop, without touching the one it runs in: a virtual X server
# with a window manager, and a session bus of its own under a scratch home. The bus starts the keyring
# on demand, as in a session where nothing unlocked one at login, and does not see the X server, so the
# keyring cannot prompt there.
# Usage: on_desktop.sh <program> [arguments...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/kivo-desktop-home-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -m 0700 "$scratch/run"
env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS HOME="$scratch" XDG_DATA_HOME="$scratch/data" \
    XDG_RUNTIME_DIR="$scratch/run" \
    dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1000x24" "$here/with_window_manager.sh" "$@"
