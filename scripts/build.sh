#!/usr/bin/env bash
# Configures and builds everything into build/ (executables in build/bin/). Extra arguments go to cmake.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE="${KIVO_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$root/build" -j"$(nproc)"
