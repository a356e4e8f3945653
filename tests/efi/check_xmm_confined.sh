#!/usr/bin/env bash
# Every instruction in veriflash.efi that touches an XMM register lies inside
# Sha256CompressShaExtensions, the one function built to use them: the rest of
# the module must run where SSE is off (CR4.OSFXSR clear), where any such
# instruction faults. Disassembles with llvm-objdump and takes the function's
# extent from the linker map written beside the image.
set -euo pipefail
efi=$1
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14)
map=${efi%.efi}.map
# Map lines: section:offset, name, RVA (the image base is 0), object.
read -r start end < <(awk '
  $3 ~ /^[0-9a-f]+$/ && found && !done { print start, $3; done = 1 }
  $2 ~ /^\?Sha256CompressShaExtensions@/ { start = $3; found = 1 }' "$map")
if [ -z "${start:-}" ] || [ -z "${end:-}" ]; then echo "FAIL Sha256CompressShaExtensions not in $map"; exit 1; fi
start=$((16#$start)) end=$((16#$end))
inside=0 outside=0
while read -r address; do
  if [ $((16#$address)) -ge "$start" ] && [ $((16#$address)) -lt "$end" ]; then inside=$((inside + 1))
  else echo "FAIL XMM instruction at RVA 0x$address, outside Sha256CompressShaExtensions"; outside=$((outside + 1)); fi
done < <("$objdump" -d --no-show-raw-insn "$efi" | grep '%xmm' | sed -E 's/^ *([0-9a-f]+):.*/\1/')
echo "$inside XMM instructions, all in Sha256CompressShaExtensions (RVA $(printf '0x%X..0x%X' "$start" "$end"))"
[ "$outside" -eq 0 ] && [ "$inside" -gt 0 ]
