#!/usr/bin/env bash
# Builds every benchmark and runs them all. The window's cost at rest and at
# work, frames presented, launch to first frame, resident memory (against
# the mpv program) and lossless joins (against ffmpeg + sync) go into one
# table with the machine's load; the older benchmarks follow with their own
# output. The generated movies are kept in a cache outside git.
# Usage: scripts/bench.sh [--runs N] [--table-only]
#   KERFLINE_BUILD_DIR    build folder (default: build)
#   KERFLINE_BENCH_CACHE  movie cache (default: ~/.cache/kerfline-bench)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
runs=3
others=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --table-only) others=0; shift ;;
    *) echo "usage: scripts/bench.sh [--runs N] [--table-only]" >&2; exit 2 ;;
  esac
done
dir=${KERFLINE_BUILD_DIR:-build}
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
cache=${KERFLINE_BENCH_CACHE:-$HOME/.cache/kerfline-bench}
for tool in mpv ffmpeg xvfb-run python3; do
  command -v "$tool" >/dev/null || { echo "bench.sh needs $tool (scripts/setup-deps.sh installs it)" >&2; exit 1; }
done
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake -S . -B "$dir" >/dev/null
targets=(kerfline kerfline-genmovie kerfline_bench_window kerfline_bench_first_picture)
if [ "$others" = 1 ]; then
  targets+=(kerfline_bench_export kerfline_bench_media kerfline_bench_timeline kerfline_bench_edit kerfline_bench_source)
fi
for t in "${targets[@]}"; do cmake --build "$dir" -j2 --target "$t" >/dev/null; done

xvfb-run -a -s "-screen 0 1400x1000x24" python3 bench/run_bench.py "$dir" "$cache" "$runs"

if [ "$others" = 1 ]; then
  for b in bench/export/kerfline_bench_export bench/media/kerfline_bench_media \
           bench/timeline/kerfline_bench_timeline bench/edit/kerfline_bench_edit bench/source/kerfline_bench_source; do
    [ -x "$dir/$b" ] || continue
    echo
    echo "== $(basename "$b")"
    "$dir/$b"
  done
fi
