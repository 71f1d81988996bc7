#!/usr/bin/env bash
# Builds the product and starts the worker on this terminal: one JSON command per line on standard
# input, one answer per line on standard output. With a PDF path as argument, that file is opened
# first. The worker ends, writing recovery checkpoints of unsaved documents, when input ends (Ctrl-D).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >&2  # standard output belongs to the worker
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

if [[ ! -f "$1" ]]; then
    echo "run.sh: $1 is not a file." >&2
    exit 2
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
