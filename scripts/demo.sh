#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its embedded
# default image: a passing and a failing end-of-PEI check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target veriflash
./build/default/tools/veriflash/veriflash demo
