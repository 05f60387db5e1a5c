#!/usr/bin/env bash
# Builds Kerfline and runs the default test suite (everything not labelled slow).
# Usage: scripts/test.sh [extra ctest args]
#   KERFLINE_BUILD_DIR  build folder (default: build)
#   KERFLINE_SANITIZE=1 build with AddressSanitizer + UBSan (folder build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
args=()
dir=${KERFLINE_BUILD_DIR:-build}
if [ "${KERFLINE_SANITIZE:-0}" = 1 ]; then
  args+=(-DKERFLINE_SANITIZE=ON)
  dir=${KERFLINE_BUILD_DIR:-build-asan}
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
cd "$dir"
ctest --output-on-failure -j"$(nproc)" -LE slow "$@"
