#!/usr/bin/env bash
# The layer check against the project's own layers.rules: includes along the
# layers pass; a subsystem reaching up to the check, and vplat reaching into
# a device, fail with one line each naming the file, the line and the rule.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cp "$root/layers.rules" "$tree/"
mkdir -p "$tree/module/fit" "$tree/module/check" "$tree/vplat/devices"
printf '#include "module/types/efi_types.h"\n#include "module/base/mem.h"\n' > "$tree/module/check/end_of_pei.cpp"
printf '#include "module/fit/fit.h"\n\n#include "module/check/end_of_pei.h"\n' > "$tree/module/fit/fit.cpp"
printf '#include "vplat/platform.h"\n#include "vplat/devices/trace_hub.h"\n' > "$tree/vplat/platform.cpp"
printf '#include "vplat/platform.h"\n' > "$tree/vplat/devices/trace_hub.cpp"

if output=$(bash "$root/scripts/check_layers.sh" "$tree"); then
  echo "FAIL: the check accepted includes against the layers"
  exit 1
fi
expected='module/fit/fit.cpp:3: includes "module/check/end_of_pei.h", but module/fit may include only its own headers and: module/types module/hw module/base
vplat/platform.cpp:2: includes "vplat/devices/trace_hub.h", but vplat may include only its own headers and: module/types module/hw/hw.h common
check_layers: 2 include(s) against the layers in layers.rules'
if [ "$(sort <<<"$output")" != "$(sort <<<"$expected")" ]; then
  printf 'FAIL: expected\n%s\ngot\n%s\n' "$expected" "$output"
  exit 1
fi
echo "the layer check refuses both wrong includes and passes the rest"
