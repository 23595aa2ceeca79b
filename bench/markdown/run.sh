#!/usr/bin/env bash
# Builds the Markdown benchmark in an optimised, unsanitized build folder and
# runs it. Arguments go to the benchmark (for example --sizes 1,10,25,50
# --repeat 3). BUILD overrides the build folder (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build-bench}

if [ -f bench/CMakeLists.txt ] && grep -q 'add_subdirectory(markdown)' bench/CMakeLists.txt; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
  ninja -C "$BUILD" -j2 sectioner_bench >/dev/null
  exe=$(find "$BUILD" -name sectioner_bench -type f -perm -u+x | head -n1)
else
  # Until bench/CMakeLists.txt includes this folder, configure it on its own.
  cmake -S bench/markdown -B "$BUILD/markdown-alone" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C "$BUILD/markdown-alone" -j2 sectioner_bench >/dev/null
  exe=$BUILD/markdown-alone/sectioner_bench
fi
"$exe" "$@"
