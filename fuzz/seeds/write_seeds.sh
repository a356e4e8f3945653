#!/usr/bin/env bash
# Rewrites every seed-* input of the fuzz corpora from the sanitizer build's
# seed writer and module (fuzz/seeds/seed_writer.cpp says what each one is).
# Inputs named regression-* are kept: each reproduces a fault that fuzzing
# found and that is fixed.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build --preset asan --target seed_writer veriflash_efi
rm -f fuzz/corpus/*/seed-*
build/asan/fuzz/seed_writer fuzz/corpus build/asan/veriflash.efi
