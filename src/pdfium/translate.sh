#!/usr/bin/env bash
# Turns the pinned PDFium WebAssembly module into a C header and an object file.
# Translation and compilation take minutes, so the result is kept in a per-user cache keyed by
# everything that shapes it; a fresh checkout on the same machine reuses it.
# usage: translate.sh <pdfium.wasm> <out-dir> <cc> <opt-flag>
set -euo pipefail
wasm="$1" out="$2" cc="$3" opt="$4"
mkdir -p "$out"
here="$(cd "$(dirname "$0")" && pwd)"
key=$( { sha256sum < "$wasm"; wasm2c --version; "$cc" --version | head -1; echo "$opt";
         sha256sum < "$here/translate.sh"; sha256sum < "$here/loop_check.h"; } | sha256sum | cut -c1-32)
cache="${KIVO_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo-pdf-build}/pdfium-$key"
if [[ ! -f "$cache/pdfium.o" || ! -f "$cache/pdfium.h" ]]; then
  work=$(mktemp -d "$out/.translate.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "pdfium: translating the WebAssembly module to C"
  wasm2c "$wasm" -n pdfium -o "$work/pdfium.c"
  # Every loop of the module looks at one flag each time it comes round, so a command that runs too
  # long, or is cancelled, can be stopped inside PDFium: the host sets the flag, the loop traps.
  sed -i -E 's/^( *w2c_L[0-9]+: *)$/\1 KIVO_LOOP_CHECK();/' "$work/pdfium.c"
  checks=$(grep -c 'KIVO_LOOP_CHECK();' "$work/pdfium.c" || true)
  if [[ "$checks" -lt 1000 ]]; then
    echo "pdfium: found only $checks loops in the translated module; the translator's output changed" >&2
    exit 1
  fi
  echo "pdfium: compiling the translated module with $opt and $checks loop checks (a few minutes, cached afterwards)"
  "$cc" "$opt" -g0 -w -include "$here/loop_check.h" -c "$work/pdfium.c" -I"$work" -o "$work/pdfium.o"
  mkdir -p "$cache.tmp.$$"
  cp "$work/pdfium.o" "$work/pdfium.h" "$cache.tmp.$$/"
  rm -rf "$cache" && mv "$cache.tmp.$$" "$cache" 2>/dev/null || rm -rf "$cache.tmp.$$"
fi
cp "$cache/pdfium.h" "$out/pdfium.h.new" && mv "$out/pdfium.h.new" "$out/pdfium.h"
cp "$cache/pdfium.o" "$out/pdfium.o.new" && mv "$out/pdfium.o.new" "$out/pdfium.o"
