#!/usr/bin/env bash
# Builds the release-file fuzzer with clang (libFuzzer + ASan + UBSan) and runs
# it for a bounded time, seeded with the sample parameter files.
#
# usage: scripts/fuzz.sh [seconds] [build-dir]   (defaults: 60, build-fuzz)
# Findings (crash-*, leak-*, timeout-*) are written to fuzz/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz}
cxx=${CXX:-clang++}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DQXFLASH_FUZZ=ON -DQXFLASH_BUILD_TESTS=OFF -DQXFLASH_BUILD_BENCH=OFF \
  -DQXFLASH_BUILD_GUI=OFF >/dev/null
cmake --build "$build" --target qx_release_fuzz -j2

# The working corpus grows during runs; it lives outside the sources.
corpus=$root/fuzz/corpus-run
mkdir -p "$corpus"
cp -n "$root"/examples/releases/*.OUB "$corpus"/ 2>/dev/null || true

cd "$root/fuzz"
"$build/fuzz/qx_release_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 "$corpus"
