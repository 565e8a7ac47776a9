#!/usr/bin/env bash
# Regenerates the sample releases in examples/releases/ with qx_mkrelease.
# The output is deterministic: running it twice gives byte-identical files.
#
# usage: scripts/make-examples.sh [build-dir]   (default: build-rel)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-rel}
out=$root/examples/releases

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQXFLASH_BUILD_BENCH=OFF -DQXFLASH_BUILD_GUI=OFF >/dev/null
fi
cmake --build "$build" --target qx_mkrelease -j2 >/dev/null
tool=$build/tools/qx_mkrelease

rm -f "$out"/*.OUB "$out"/*.bin
mk() { "$tool" --dir "$out" "$@" >/dev/null; }

# Good releases, one per way of choosing the areas.
mk --name QXR4410_ALL --flags 1,1,1
mk --name QXR4410_A0 --flags 1,0,0
mk --name QXR4410_A1 --flags 0,1,0 --free '5="Area 1, blocks 2-14"'
mk --name QXR4410_A2 --flags 0,0,1

# Broken releases, each failing one check.
mk --name BAD_MAGIC --header 'AmbervaultParameterFile ver.0002'
mk --name BAD_VERSION3 --header 'AmbervaultParameterFile Ver.0003'
mk --name BAD_MODEL --model 'QX-R4420'
mk --name BAD_CHECKSUM --checksum-delta 1
mk --name BAD_NOAREA --flags 0,0,0
mk --name BAD_SHORTIMAGE --image-bytes 131072
mk --name BAD_NOIMAGE --no-image
mk --name BAD_COMMASHIFT --free '3=Area 0, blocks 0-1'

ls -l "$out"
