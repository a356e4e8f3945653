#!/usr/bin/env python3
"""Writes nested_peim, the seed of firmware_tree_fuzz (not named seed-*, which
fuzz/seeds/write_seeds.sh replaces): a volume whose firmware-volume-image
file holds, in a volume section, a PEI volume with the module's PEIM file.
Written from the public layouts, apart from the firmware code it exercises.

    python3 fuzz/corpus/firmware_tree/make_seed.py build/default/veriflash.efi
"""
import struct
import sys
import uuid
from pathlib import Path

FFS2 = uuid.UUID("8c8ce578-8a3d-4f1c-9935-896185c32dd3").bytes_le
MODULE = uuid.UUID("aa639189-75ff-4fb1-bafc-250c14a28657").bytes_le
FV_NAME = uuid.UUID("0badc0de-0000-4000-8000-0000000000f1").bytes_le
ERASE_POLARITY = 0x800


def section(kind, body):
    return struct.pack("<I", (len(body) + 4) | kind << 24) + body


def sections(*parts):
    out = b""
    for part in parts:
        out += b"\0" * (-len(out) % 4) + part
    return out


def ffs_file(name, kind, data):
    size = 24 + len(data)
    header = bytearray(name + struct.pack("<BBBB", 0, 0, kind, 0) + size.to_bytes(3, "little") + b"\0")
    header[16] = -sum(header) & 0xFF  # HeaderChecksum; the state is counted as zero
    header[17] = 0xAA                 # no data checksum
    header[23] = 0xF8                 # header and data valid, stored inverted
    return bytes(header) + data


def volume(files, length):
    header = bytearray(b"\0" * 16 + FFS2 + struct.pack("<QIIHHHBB", length, 0x4856465F, ERASE_POLARITY, 72, 0, 0, 0, 2))
    header += struct.pack("<IIII", length // 0x1000, 0x1000, 0, 0)
    words = struct.unpack("<36H", header)
    header[50:52] = struct.pack("<H", -sum(words) & 0xFFFF)
    body = bytes(header)
    for f in files:
        body += b"\xFF" * (-len(body) % 8) + f
    return body + b"\xFF" * (length - len(body))


def main():
    efi = Path(sys.argv[1]).read_bytes()
    ui = "veriflash\0".encode("utf-16-le")
    peim = ffs_file(MODULE, 0x06, sections(section(0x1B, b"\x06\x08"), section(0x10, efi), section(0x15, ui)))
    pei = volume([peim], (len(peim) + 0x1FFF) // 0x1000 * 0x1000)
    outer_file = ffs_file(FV_NAME, 0x0B, sections(section(0x17, pei)))
    outer = volume([outer_file], (len(outer_file) + 0x1FFF) // 0x1000 * 0x1000)
    Path(__file__).with_name("nested_peim").write_bytes(outer)


if __name__ == "__main__":
    main()
