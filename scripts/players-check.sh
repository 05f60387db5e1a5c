#!/usr/bin/env bash
# Plays a movie whose frames carry their numbers in real players (FFmpeg's
# decoder with and without edit lists, libmpv and the mpv program with their
# default settings, headless Chromium) and reports the frames each showed
# against the expected list.
#
# Usage: scripts/players-check.sh [options] MOVIE FRAMES
#   FRAMES: e.g. "105-185" or "39-86,153-230" (or @FILE)
#   options: --players ffmpeg,ffmpeg-ignore-editlist,libmpv,mpv,chromium
#            --rate FPS  --chromium PATH  --capture-rate R
# Exit status: 0 all exact, 1 a player differed, 2 bad arguments.
#
# Also: scripts/players-check.sh --suite   runs the slow suite that exports
# H.264 (closed and open GOP) and HEVC cuts and checks them in every player;
# its table lands in <build>/tests/platform/players/players-report.md.
#   KERFLINE_BUILD_DIR  build folder (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KERFLINE_BUILD_DIR:-build}
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
if [ ! -d "$dir" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if [ "${1:-}" = "--suite" ]; then
  shift
  cmake --build "$dir" -j"$(nproc)" --target test_players_slow >/dev/null
  rm -f "$dir/tests/platform/players/players-report.md"
  cd "$dir" && QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} ctest -L slow -R '^PlayersTest\.' --output-on-failure "$@"
  echo "report: $dir/tests/platform/players/players-report.md"
  exit 0
fi
cmake --build "$dir" -j"$(nproc)" --target kerfline-players-check >/dev/null
exec "$dir/tests/platform/players/kerfline-players-check" "$@"
