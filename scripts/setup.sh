#!/usr/bin/env bash
# Brings a machine to the point where the project builds: missing Debian packages, then the pinned
# PDFium package and the MCP SDK that the connector's interoperability test drives, both from npm.
# Safe to run again; it does nothing when everything is in place.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  # npm may come with node itself rather than as a Debian package.
  if [[ "$pkg" == npm || "$pkg" == nodejs ]]; then
    command -v "${pkg/nodejs/node}" >/dev/null 2>&1 && continue
  fi
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done < "$root/scripts/debian-packages.txt"

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm ci only when the installed tree does not match the lock file.
pdfium="$root/src/pdfium"
stamp="$pdfium/node_modules/.kivo-lock.sha256"
want="$(sha256sum "$pdfium/package-lock.json" | cut -d' ' -f1)"
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" || ! -f "$pdfium/node_modules/@embedpdf/pdfium/dist/pdfium.wasm" ]]; then
  echo "setup: fetching the pinned PDFium package"
  (cd "$pdfium" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  echo "$want" > "$stamp"
fi

# The MCP SDK's client for the connector's interoperability test, on the same terms.
sdk="$root/tests/mcp/sdk"
stamp="$sdk/node_modules/.kivo-lock.sha256"
want="$(sha256sum "$sdk/package-lock.json" | cut -d' ' -f1)"
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" || ! -f "$sdk/node_modules/@modelcontextprotocol/sdk/package.json" ]]; then
  echo "setup: fetching the pinned MCP SDK for the connector's tests"
  (cd "$sdk" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  echo "$want" > "$stamp"
fi
