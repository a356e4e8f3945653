#!/usr/bin/env bash
# Makes the images the QEMU boot tests run, from Debian's OVMF IA-32, with
# the veriflash tool of this build:
#   code_rt.fd    the code part rebuilt with nothing added (the round trip)
#   code_post.fd  the module added, dispatched after memory
#   code_pre.fd   the module added and listed in the a-priori file (code_pre.json: where it runs)
#   code_ud2.fd   the module with ud2 as its first instruction, after memory
#   rt.bin, pass_post.bin, fail_post.bin, pass_pre.bin, fail_pre.bin, ud2.bin
# the fail images with bit 0 of the region's first byte flipped.
# Without OVMF it writes only `absent`, saying why, for the tests to skip.
#
#   make_images.sh VERIFLASH_TOOL OUT_DIR
set -euo pipefail
tool=$1
out=$2
code=/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd
vars=/usr/share/OVMF/OVMF32_VARS_4M.fd
rm -rf "$out"
mkdir -p "$out"
if [ ! -f "$code" ] || [ ! -f "$vars" ]; then
  echo "$code or $vars is absent: install Debian's ovmf-ia32" >"$out/absent"
  touch "$out/made"
  exit 0
fi
"$tool" firmware add "$code" -o "$out/code_rt.fd" --no-module >/dev/null &
"$tool" firmware add "$code" -o "$out/code_post.fd" >/dev/null &
"$tool" firmware add "$code" -o "$out/code_pre.fd" --pre-memory --json >"$out/code_pre.json"
efi=$(dirname "$tool")/veriflash.efi
python3 - "$efi" "$out/ud2.efi" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
entry = struct.unpack_from("<I", image, pe + 4 + 20 + 16)[0]  # AddressOfEntryPoint; RVA = file offset
image[entry:entry + 2] = b"\x0f\x0b"
open(sys.argv[2], "wb").write(image)
PY
"$tool" firmware add "$code" -o "$out/code_ud2.fd" --module "$out/ud2.efi" >/dev/null
wait
image() { "$tool" image create "$out/$1" --firmware "$out/$2" --vars "$vars" --no-module "${@:3}" >/dev/null; }
image rt.bin code_rt.fd
image ud2.bin code_ud2.fd
for placement in post pre; do
  image "pass_$placement.bin" "code_$placement.fd"
  image "fail_$placement.bin" "code_$placement.fd" --tamper 0xFFA70000
done
touch "$out/made"
