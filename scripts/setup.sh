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

# npm ci in folder $1 only when the installed tree does not match the lock file or lacks $2 (a
# file below node_modules that the install leaves); $3 says what is being fetched.
npm_ci_pinned() {
  local dir="$1" marker="$2" what="$3"
  local stamp="$dir/node_modules/.kivo-lock.sha256"
  local want
  want="$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)"
  if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" || ! -f "$dir/node_modules/$marker" ]]; then
    echo "setup: fetching $what"
    (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    echo "$want" > "$stamp"
  fi
}

npm_ci_pinned "$root/src/pdfium" "@embedpdf/pdfium/dist/pdfium.wasm" "the pinned PDFium package"
# The MCP SDK's client for the connector's interoperability test, on the same terms.
npm_ci_pinned "$root/tests/mcp/sdk" "@modelcontextprotocol/sdk/package.json" "the pinned MCP SDK for the connector's tests"
