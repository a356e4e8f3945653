#!/usr/bin/env bash
# Reads veriflash.efi's headers with llvm-readobj (a reader independent of our
# own PE loader) and checks what a PEI core and execute-in-place need.
# Prints the image size and the sections.
set -euo pipefail
efi=$1
readobj=$(command -v llvm-readobj || command -v llvm-readobj-14)
headers=$("$readobj" --file-headers --sections --coff-imports --coff-basereloc "$efi")
failures=0
expect() {  # expect DESCRIPTION REGEX
  if grep -Eq "$2" <<<"$headers"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
expect "machine i386"                      'Machine: IMAGE_FILE_MACHINE_I386 \(0x14C\)'
expect "PE32 optional header"              'Magic: 0x10B'
expect "EFI boot service driver subsystem" 'Subsystem: IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER \(0xB\)'
expect "section alignment 32"              'SectionAlignment: 32$'
expect "file alignment 32"                 'FileAlignment: 32$'
expect "a .reloc section"                  'Name: \.reloc'
expect "HIGHLOW relocations"               'Type: HIGHLOW'
if grep -q 'Import {' <<<"$headers"; then echo "FAIL no imports"; failures=$((failures + 1)); else echo "ok   no imports"; fi
# The entry point is ModuleEntry, per the linker map written beside the image.
entry=$(awk '/AddressOfEntryPoint:/{print $2}' <<<"$headers")
rva=$(awk '$2 == "_ModuleEntry" {print $3}' "${efi%.efi}.map")
if [ -n "$rva" ] && [ $((16#$rva)) -eq $((entry)) ]; then echo "ok   entry point is ModuleEntry ($entry)"
else echo "FAIL entry point $entry is not ModuleEntry (${rva:-not in map})"; failures=$((failures + 1)); fi
echo "image: $(stat -c %s "$efi") bytes, SizeOfImage $(grep -E 'SizeOfImage:' <<<"$headers" | awk '{print $2}')"
awk '/Name: /{name=$2} /VirtualSize:/{print "  section " name " " $2 " bytes"}' <<<"$headers"
[ "$failures" -eq 0 ]
