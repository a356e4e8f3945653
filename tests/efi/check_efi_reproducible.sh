#!/usr/bin/env bash
# veriflash.efi is the same file from any build folder and with any
# generator: configures a fresh build in a folder of another name with
# CMake's default generator, builds only the module, and compares the bytes.
# Neither folder's path may appear inside the image.
set -euo pipefail
source_dir=$1
efi=$2
other=$(mktemp -d "${TMPDIR:-/tmp}/veriflash-elsewhere.XXXXXX")
trap 'rm -rf "$other"' EXIT
cmake -S "$source_dir" -B "$other" -DVERIFLASH_TESTS=OFF -DVERIFLASH_BENCH=OFF >/dev/null
cmake --build "$other" --target veriflash_efi >/dev/null 2>&1
if ! cmp "$efi" "$other/veriflash.efi"; then
  echo "FAIL veriflash.efi differs between $(dirname "$efi") and $other"
  exit 1
fi
for path in "$source_dir" "$(dirname "$efi")" "$other"; do
  if grep -qF "$path" "$efi"; then echo "FAIL $efi holds the path $path"; exit 1; fi
done
echo "ok   veriflash.efi is byte-identical from $other (default generator), and holds no build path"
