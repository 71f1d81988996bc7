#!/usr/bin/env bash
# cmake --install lays out the three programs, the desktop entry "Kivo PDF" for PDF files and its icon.
set -euo pipefail
build="$1"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for program in kivo-pdf kivo-pdf-worker kivo-pdf-mcp; do
    [[ -x "$prefix/bin/$program" ]] || { echo "missing bin/$program"; exit 1; }
done
entry="$prefix/share/applications/kivo-pdf.desktop"
grep -qx 'Name=Kivo PDF' "$entry" || { echo "the desktop entry is not named Kivo PDF"; exit 1; }
grep -qx 'MimeType=application/pdf;' "$entry" || { echo "the desktop entry does not open PDF files"; exit 1; }
grep -qx 'Exec=kivo-pdf %F' "$entry" || { echo "the desktop entry does not start kivo-pdf with its files"; exit 1; }
grep -qx 'Icon=kivo-pdf' "$entry" || { echo "the desktop entry names no icon"; exit 1; }
[[ -s "$prefix/share/icons/hicolor/scalable/apps/kivo-pdf.svg" ]] || { echo "missing the icon"; exit 1; }
echo "installed layout is complete"
