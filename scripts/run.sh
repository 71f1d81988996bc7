#!/usr/bin/env bash
# Builds the product and starts it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
echo "Built into $root/build/bin."
