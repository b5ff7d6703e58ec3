#!/usr/bin/env python3
"""Post-link step of the Windows launcher: names its load configuration in the PE header.

    pe_load_config.py <image.exe> <linker map>

The GNU linker places the record `_load_config_used` but leaves data directory 10 (load
configuration) empty, so the loader never reads it. This step takes the record's address from
the linker map, checks that the image holds a load configuration there, points directory 10 at
it and recomputes the PE checksum when the image carries one.
"""
import re
import struct
import sys

LOAD_CONFIG_DIRECTORY = 10


def fail(message):
    sys.exit("pe_load_config: " + message)


def symbol_address(map_text):
    # "                0x0000000140006020                _load_config_used"; the 32-bit
    # build's C names carry one more leading underscore.
    found = re.findall(r"^\s+0x([0-9a-fA-F]+)\s+_?_load_config_used\s*$", map_text, re.M)
    if len(set(found)) != 1:
        fail("the map names _load_config_used %d times" % len(set(found)))
    return int(found[0], 16)


def checksum(image, checksum_offset):
    """The PE checksum: 16-bit one's-complement sum of the file without its checksum field,
    plus the file length."""
    data = image[:checksum_offset] + b"\0\0\0\0" + image[checksum_offset + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def patch(image, address):
    if image[:2] != b"MZ":
        fail("not an executable")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail("no PE header")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic == 0x10B:
        image_base = struct.unpack_from("<I", image, optional + 28)[0]
        directories = optional + 96
    elif magic == 0x20B:
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        directories = optional + 112
    else:
        fail("unknown optional header")
    if struct.unpack_from("<I", image, directories - 4)[0] <= LOAD_CONFIG_DIRECTORY:
        fail("the header has no load configuration directory")
    rva = address - image_base

    # The record must lie in a section of the file and begin with its own size.
    table = optional + optional_size
    record = None
    for i in range(sections):
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<IIII", image, table + 40 * i + 8)
        if virtual_address <= rva < virtual_address + min(virtual_size, raw_size):
            record = raw_offset + rva - virtual_address
    if record is None:
        fail("RVA 0x%x of _load_config_used lies in no section" % rva)
    size = struct.unpack_from("<I", image, record)[0]
    if size not in (0x40, 0x60):
        fail("the record at RVA 0x%x is not a load configuration (size %d)" % (rva, size))

    struct.pack_into("<II", image, directories + 8 * LOAD_CONFIG_DIRECTORY, rva, size)
    checksum_offset = optional + 64
    if struct.unpack_from("<I", image, checksum_offset)[0]:
        struct.pack_into("<I", image, checksum_offset, checksum(bytes(image), checksum_offset))


def main():
    if len(sys.argv) != 3:
        fail("usage: pe_load_config.py <image.exe> <linker map>")
    image_path, map_path = sys.argv[1:]
    with open(map_path, encoding="utf-8", errors="replace") as source:
        address = symbol_address(source.read())
    with open(image_path, "rb") as source:
        image = bytearray(source.read())
    patch(image, address)
    with open(image_path, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main()
