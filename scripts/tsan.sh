#!/usr/bin/env bash
# Builds the threaded parts with ThreadSanitizer (folder build-tsan) and runs
# their tests: the scheduler, the range loader and its requests, the Larder
# wire, connection and server (also against the reference service process),
# the preparation queue and its cancellation at the open deadline (the open
# flow against a silent service), and the export controller with its byte copy and
# two clip workers. The window and the media libraries are left out
# (KERFLINE_BUILD_GUI=OFF): their own threads are not ours to check.
# Usage: scripts/tsan.sh [extra gtest arguments]
#   KERFLINE_BUILD_DIR  build folder (default: build-tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${KERFLINE_BUILD_DIR:-build-tsan}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKERFLINE_TSAN=ON -DKERFLINE_BUILD_GUI=OFF \
  -DKERFLINE_BUILD_BENCH=OFF >/dev/null
suites=(tests/base/test_base tests/source/kf_source_tests tests/source/kf_source_service_tests
        tests/playback/session/test_playback_session
        tests/export/controller/test_export_controller tests/export/files/test_export_files)
targets=(kerfline-range-service)
for s in "${suites[@]}"; do targets+=("$(basename "$s")"); done
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
# Any report fails the run.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
cd "$dir"
failed=0
for s in "${suites[@]}"; do
  echo "== $s"
  if ! "./$s" --gtest_brief=1 "$@"; then
    echo "FAILED: $s"
    failed=1
  fi
done
exit $failed
