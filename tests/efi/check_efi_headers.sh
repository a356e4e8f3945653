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
# Executed in place, the image has no memory beyond its file bytes: a section
# with more virtual than raw bytes would read flash contents as its zeros.
# The trace output's module-global records must be in the file, as zeros.
uninitialised=0
while read -r virtual raw; do
  if [ $((virtual)) -gt $((raw)) ]; then uninitialised=1; fi
done < <(awk '/VirtualSize:/{v=$2} /RawDataSize:/{print v, $2}' <<<"$headers")
if [ $uninitialised -eq 1 ]; then echo "FAIL a section has uninitialised data"; failures=$((failures + 1))
else echo "ok   no uninitialised data"; fi
for record in ZeroTraceRecord DefaultTraceOutput NullTraceHandle; do
  at=$(awk -v name="$record" 'index($2, "?" name "@@") == 1 {print $3}' "${efi%.efi}.map")
  # 48 bytes: TraceOutputTable and TraceHandle on IA-32.
  if [ -n "$at" ] && [ "$(od -An -v -tx1 -j $((16#$at)) -N 48 "$efi" | tr -d ' \n')" = "$(printf '0%.0s' {1..96})" ]; then
    echo "ok   $record starts as 48 zero bytes in the file"
  else echo "FAIL $record is not 48 zero bytes in the file (${at:-not in map})"; failures=$((failures + 1)); fi
done
echo "image: $(stat -c %s "$efi") bytes, SizeOfImage $(grep -E 'SizeOfImage:' <<<"$headers" | awk '{print $2}')"
awk '/Name: /{name=$2} /VirtualSize:/{print "  section " name " " $2 " bytes"}' <<<"$headers"
[ "$failures" -eq 0 ]
