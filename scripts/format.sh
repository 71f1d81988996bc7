#!/usr/bin/env bash
# Checks that every C and C++ source of ours follows .clang-format, the files git tracks and the new
# ones it does not ignore alike; with --fix, rewrites them. The translated PDFium module and the wabt
# runtime are generated or vendored, so they are left alone. Another clang-format release lays out
# the same code differently, so the check runs only with the one Debian 12 ships.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
formatter="${CLANG_FORMAT:-clang-format}"
expected=14
version=$("$formatter" --version 2>/dev/null | sed -n 's/.*version \([0-9][0-9]*\)\..*/\1/p' | head -n 1)
if [[ "$version" != "$expected" ]]; then
  echo "format: expects clang-format $expected (Debian 12's); $formatter is ${version:-missing}"
  exit 1
fi
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' '*.h' '*.c' |
                     grep -v '^src/pdfium/.*\.c$')
# One clang-format at a time took minutes on a busy machine; files go out in batches to every processor.
jobs="${FORMAT_JOBS:-$(nproc 2>/dev/null || echo 2)}"
if [[ "${1:-}" == --fix ]]; then
  printf '%s\0' "${files[@]}" | xargs -0 -r -n 16 -P "$jobs" "$formatter" -i
  exit 0
fi
# Each batch names its files out of format; sorted, the report reads the same whatever the order they finished.
report=$(printf '%s\0' "${files[@]}" | FORMATTER="$formatter" xargs -0 -r -n 16 -P "$jobs" bash -c '
  for f; do
    [[ -f "$f" ]] || continue
    if ! "$FORMATTER" --dry-run -Werror "$f" >/dev/null 2>&1; then
      echo "format: $f differs from .clang-format (scripts/format.sh --fix rewrites it)"
    fi
  done' format-batch | LC_ALL=C sort)
if [[ -n "$report" ]]; then
  echo "$report"
  exit 1
fi
exit 0
