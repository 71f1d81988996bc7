#!/usr/bin/env bash
# Builds the product and starts the editor, opening the PDF given as argument. On a machine with no
# display (neither DISPLAY nor WAYLAND_DISPLAY set) it says so and starts the worker on this terminal
# instead: one JSON command per line on standard input, one answer per line on standard output, the
# PDF given opened first; the worker ends, writing recovery checkpoints of unsaved documents, when
# input ends (Ctrl-D).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >&2  # standard output belongs to the worker

if [[ $# -gt 0 && ! -f "$1" ]]; then
    echo "run.sh: $1 is not a file." >&2
    exit 2
fi

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$root/build/bin/kivo-pdf" "$@"
fi

echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the worker starts in stdio mode instead of the editor." >&2
worker="$root/build/bin/kivo-pdf-worker"
cat >&2 <<'HINT'
kivo-pdf-worker: type one command per line, for example
  {"channel":"cli","id":"1","method":"ping","params":{}}
  {"channel":"cli","id":"2","method":"inspect","params":{"sessionId":"<the sessionId of open>"}}
End with Ctrl-D.
HINT

if [[ $# -eq 0 ]]; then
    exec "$worker"
fi

path="$(realpath -- "$1")"
# The path as a JSON string.
path="${path//\\/\\\\}"
path="${path//\"/\\\"}"
path="${path//$'\t'/\\t}"
path="${path//$'\n'/\\n}"
{
    printf '{"channel":"cli","id":"open","method":"open","params":{"path":"%s"}}\n' "$path"
    cat
} | "$worker"
