#!/usr/bin/env bash
# Turns the pinned PDFium WebAssembly module into a C header and an object file.
# Translation and compilation take minutes, so the result is kept in a per-user cache keyed by
# everything that shapes it; a fresh checkout on the same machine reuses it.
# usage: translate.sh <pdfium.wasm> <out-dir> <cc> <opt-flag>
set -euo pipefail
wasm="$1" out="$2" cc="$3" opt="$4"
mkdir -p "$out"
key=$( { sha256sum < "$wasm"; wasm2c --version; "$cc" --version | head -1; echo "$opt";
         sha256sum < "$(dirname "$0")/translate.sh"; } | sha256sum | cut -c1-32)
cache="${KIVO_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo-pdf-build}/pdfium-$key"
if [[ ! -f "$cache/pdfium.o" || ! -f "$cache/pdfium.h" ]]; then
  work=$(mktemp -d "$out/.translate.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "pdfium: translating the WebAssembly module to C"
  wasm2c "$wasm" -n pdfium -o "$work/pdfium.c"
  echo "pdfium: compiling the translated module with $opt (a few minutes, cached afterwards)"
  "$cc" "$opt" -g0 -w -c "$work/pdfium.c" -I"$work" -o "$work/pdfium.o"
  mkdir -p "$cache.tmp.$$"
  cp "$work/pdfium.o" "$work/pdfium.h" "$cache.tmp.$$/"
  rm -rf "$cache" && mv "$cache.tmp.$$" "$cache" 2>/dev/null || rm -rf "$cache.tmp.$$"
fi
cp "$cache/pdfium.h" "$out/pdfium.h.new" && mv "$out/pdfium.h.new" "$out/pdfium.h"
cp "$cache/pdfium.o" "$out/pdfium.o.new" && mv "$out/pdfium.o.new" "$out/pdfium.o"
