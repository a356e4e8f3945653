#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its embedded
# default image: a passing end-of-PEI check, the same image tampered, which
# stops at POST code 0x8F, and a stamped full flash dump, which passes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target veriflash
./build/default/tools/veriflash/veriflash demo
