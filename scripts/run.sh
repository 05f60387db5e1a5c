#!/usr/bin/env bash
# Installs what is missing, builds Kerfline and opens it.
# Usage: scripts/run.sh [MOVIE]
#   With no movie, a short generated demo movie is opened.
#   KERFLINE_BUILD_DIR  build folder (default: build)
set -euo pipefail
here="$(pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup-deps.sh
dir=${KERFLINE_BUILD_DIR:-build}
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kerfline kerfline-genmovie

movie=()
if [ $# -gt 0 ]; then
  movie=("$@")
else
  demo="$dir/demo/kerfline-demo.mp4"
  if [ ! -s "$demo" ]; then
    mkdir -p "$dir/demo"
    echo "Generating a demo movie: $demo"
    "$dir/tools/genmovie/kerfline-genmovie" h264 --size 1280x720 --seconds 20 -o "$demo" >/dev/null
  fi
  movie=("$demo")
fi
# Relative movie paths are meant from where the script was started.
cd "$here"
exec "$dir/src/app/shell/kerfline" "${movie[@]}"
