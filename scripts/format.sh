#!/usr/bin/env bash
# Checks that every C and C++ source of ours follows .clang-format; with --fix, rewrites them.
# The translated PDFium module and the wabt runtime are generated or vendored, so they are left alone.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
formatter="${CLANG_FORMAT:-clang-format}"
mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp' '*.h' '*.c' | grep -v '^src/pdfium/.*\.c$')
if [[ "${1:-}" == --fix ]]; then
  "$formatter" -i "${files[@]}"
  exit 0
fi
bad=0
for f in "${files[@]}"; do
  [[ -f "$f" ]] || continue
  if ! "$formatter" --dry-run -Werror "$f" >/dev/null 2>&1; then
    echo "format: $f differs from .clang-format (scripts/format.sh --fix rewrites it)"
    bad=1
  fi
done
exit "$bad"
