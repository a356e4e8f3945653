#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: once on
# the release build, once under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
# The fuzz targets (built by the sanitizer build, which uses clang) replay
# their seed corpora once: a quick regression check. To fuzz for real:
#   build/asan/fuzz/fit_fuzz -dict=fuzz/fit.dict NEW_CORPUS fuzz/corpus/fit
for corpus in fuzz/corpus/*/; do
  "build/asan/fuzz/$(basename "$corpus")_fuzz" -runs=0 "$corpus"
done
# The 2 GiB absorb is the one test too slow to repeat under the sanitizers;
# the release run above covers it.
GTEST_FILTER=-*Sha256Digest.LengthOf2To31OrMoreWithBytesPending* ctest --preset asan -j "$jobs"
