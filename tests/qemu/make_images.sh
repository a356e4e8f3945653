#!/usr/bin/env bash
# Makes the images the QEMU boot tests run, from Debian's OVMF builds, with
# the veriflash tool of this build. From the IA-32 build (ovmf-ia32):
#   code_rt.fd    the code part rebuilt with nothing added (the round trip)
#   code_post.fd  the module added, dispatched after memory
#   code_pre.fd   the module added and listed in the a-priori file (code_pre.json: where it runs)
#   code_ud2.fd   the module with ud2 as its first instruction, after memory
#   code_loop.fd  the module writing 0x55 to port 0x80 for ever from its entry
#   rt.bin, pass_post.bin, fail_post.bin, pass_pre.bin, fail_pre.bin, ud2.bin, loop.bin
# and the same without the round trip, their names prefixed, from two x64
# builds (ovmf: 32-bit PEI, 64-bit DXE): x64_ from OVMF_CODE_4M.fd (no SMM),
# x64sb_ from OVMF_CODE_4M.ms.fd with the Microsoft keys enrolled (SMM,
# secure boot on). The fail images have bit 0 of the region's first byte
# flipped. Without OVMF it writes only `absent`, saying why, for the tests
# to skip.
#
#   make_images.sh VERIFLASH_TOOL OUT_DIR
set -euo pipefail
tool=$1
out=$2
ovmf=/usr/share/OVMF
rm -rf "$out"
mkdir -p "$out"
for file in OVMF32_CODE_4M.secboot.fd OVMF32_VARS_4M.fd OVMF_CODE_4M.fd OVMF_VARS_4M.fd OVMF_CODE_4M.ms.fd \
            OVMF_VARS_4M.ms.fd; do
  if [ ! -f "$ovmf/$file" ]; then
    echo "$ovmf/$file is absent: install Debian's ovmf and ovmf-ia32" >"$out/absent"
    touch "$out/made"
    exit 0
  fi
done
# prefix CODE VARS: the code parts with the module after and before memory,
# and the pass and fail images of both.
build() {
  local prefix=$1 code=$ovmf/$2 vars=$ovmf/$3
  # Two LZMA recompressions at a time: each takes a core and about 200 MB.
  "$tool" firmware add "$code" -o "$out/${prefix}code_post.fd" >/dev/null &
  "$tool" firmware add "$code" -o "$out/${prefix}code_pre.fd" --pre-memory --json >"$out/${prefix}code_pre.json"
  wait
  for placement in post pre; do
    image "${prefix}pass_$placement.bin" "${prefix}code_$placement.fd" "$vars"
    image "${prefix}fail_$placement.bin" "${prefix}code_$placement.fd" "$vars" --tamper 0xFFA70000
  done
}
image() { "$tool" image create "$out/$1" --firmware "$out/$2" --vars "$3" --no-module "${@:4}" >/dev/null; }
"$tool" firmware add "$ovmf/OVMF32_CODE_4M.secboot.fd" -o "$out/code_rt.fd" --no-module >/dev/null &
# The shipped module with its entry's first bytes replaced: ud2; and
# mov al, 0x55; out 0x80, al; jmp back.
python3 - "$(dirname "$tool")/veriflash.efi" "$out" <<'PY'
import struct, sys
for name, code in (("ud2", b"\x0f\x0b"), ("loop", b"\xb0\x55\xe6\x80\xeb\xfa")):
    image = bytearray(open(sys.argv[1], "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    entry = struct.unpack_from("<I", image, pe + 4 + 20 + 16)[0]  # AddressOfEntryPoint; RVA = file offset
    image[entry:entry + len(code)] = code
    open(f"{sys.argv[2]}/{name}.efi", "wb").write(image)
PY
"$tool" firmware add "$ovmf/OVMF32_CODE_4M.secboot.fd" -o "$out/code_ud2.fd" --module "$out/ud2.efi" >/dev/null
wait
"$tool" firmware add "$ovmf/OVMF32_CODE_4M.secboot.fd" -o "$out/code_loop.fd" --module "$out/loop.efi" >/dev/null
image rt.bin code_rt.fd "$ovmf/OVMF32_VARS_4M.fd"
image ud2.bin code_ud2.fd "$ovmf/OVMF32_VARS_4M.fd"
image loop.bin code_loop.fd "$ovmf/OVMF32_VARS_4M.fd"
build "" OVMF32_CODE_4M.secboot.fd OVMF32_VARS_4M.fd
build x64_ OVMF_CODE_4M.fd OVMF_VARS_4M.fd
build x64sb_ OVMF_CODE_4M.ms.fd OVMF_VARS_4M.ms.fd
touch "$out/made"
