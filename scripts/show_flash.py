#!/usr/bin/env python3
"""Shows what one module of a virtual module's memory dump holds, next to a BIRD image.

    show_flash.py DUMP SERIAL IMAGE

DUMP is the file written by virtual-module --dump-flash, SERIAL the module's serial number (as
the dump names it), IMAGE the BIRD file that was written into it. Every firmware block of the
image is looked for in the module's flash, every loader block in what it started; a generic image is compared after the module's serial
number has been put where its serial-number offsets say (the word, little-endian, and the low
byte of each character of the descriptor text), which is what the tool does before writing.
The exit status is 0 when every block is there byte for byte, else 1.
"""

import struct
import sys
import zlib

BIRD_HEADER_SIZE = 6
BIRD_TYPE_MASK = 0x1F
TYPE_LOADER = 0
TYPE_FIRMWARE = 1
TYPE_SERIAL_OFFSETS = 2
ADDRESS_SIZE = 4
SERIAL_DIGITS = 8
DESCRIPTOR_CHARACTER_SIZE = 2


def read_dump(path, serial):
    """The loader and flash runs of the module with that serial number: {kind: {address: bytes}}."""
    found, current = None, None
    with open(path, encoding="ascii") as dump:
        for line in dump:
            fields = line.split()
            if fields and fields[0] == "module":
                current = {"loader": {}, "flash": {}} if int(fields[2], 16) == serial else None
                found = found or current
            elif current is not None and len(fields) == 3:
                current[fields[0]][int(fields[1], 16)] = bytes.fromhex(fields[2])
    if found is None:
        raise SystemExit("no module %08X in %s" % (serial, path))
    return found


def read_blocks(path):
    """The image's blocks as (type, data) pairs, in file order."""
    with open(path, "rb") as image:
        body = zlib.decompress(image.read()[BIRD_HEADER_SIZE:])
    (count,) = struct.unpack_from(">I", body, 0)
    position, blocks = 4, []
    for _ in range(count):
        kind = body[position] & BIRD_TYPE_MASK
        (length,) = struct.unpack_from(">I", body, position + 1)
        blocks.append((kind, body[position + 5:position + 5 + length]))
        position += 5 + length
    return blocks


def with_serial_number(address, payload, offsets, serial):
    """The payload as the tool writes it into that module: the serial number patched in."""
    if offsets is None:
        return payload
    serial_address, descriptor_address = offsets
    patched = bytearray(payload)
    end = address + len(payload)
    if serial_address and address <= serial_address and serial_address + 4 <= end:
        struct.pack_into("<I", patched, serial_address - address, serial)
    text_size = SERIAL_DIGITS * DESCRIPTOR_CHARACTER_SIZE
    if descriptor_address and address <= descriptor_address and descriptor_address + text_size <= end:
        for index, digit in enumerate(b"%08X" % serial):
            patched[descriptor_address - address + index * DESCRIPTOR_CHARACTER_SIZE] = digit
    return bytes(patched)


def run_holding(runs, address, length):
    for start, data in runs.items():
        if start <= address and address + length <= start + len(data):
            return data[address - start:address - start + length]
    return None


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    dump_path, serial, image_path = sys.argv[1], int(sys.argv[2], 16), sys.argv[3]
    memory = read_dump(dump_path, serial)
    blocks = read_blocks(image_path)
    offsets = next((struct.unpack(">II", data[:8]) for kind, data in blocks if kind == TYPE_SERIAL_OFFSETS), None)

    print("module %08X:" % serial)
    for kind in ("loader", "flash"):
        for start, data in sorted(memory[kind].items()):
            print("  %-6s %08X  %6d bytes  %s..." % (kind, start, len(data), data[:8].hex(" ").upper()))
    if not memory["flash"]:
        print("  flash is empty")

    name = image_path.rsplit("/", 1)[-1]
    mismatches = 0
    for number, data in enumerate((data for kind, data in blocks if kind == TYPE_LOADER), 1):
        (address,) = struct.unpack_from(">I", data, 0)
        same = run_holding(memory["loader"], address, len(data) - ADDRESS_SIZE) == data[ADDRESS_SIZE:]
        mismatches += not same
        print("  loader block %d of %s (%08X, %d bytes): %s" % (
            number, name, address, len(data) - ADDRESS_SIZE,
            "started by the module, byte for byte" if same else "NOT what the module started"))

    firmware = [data for kind, data in blocks if kind == TYPE_FIRMWARE]
    for number, data in enumerate(firmware, 1):
        (address,) = struct.unpack_from(">I", data, 0)
        expected = with_serial_number(address, data[ADDRESS_SIZE:], offsets, serial)
        held = run_holding(memory["flash"], address, len(expected))
        same = held == expected
        mismatches += not same
        print("  firmware block %d of %s (%08X, %d bytes): %s" % (
            number, name, address, len(expected),
            "in flash, byte for byte" if same else "NOT in flash as the image has it"))
        if same and offsets is not None and address <= offsets[0] < address + len(expected):
            word = held[offsets[0] - address:offsets[0] - address + 4]
            print("    serial number word at %08X: %08X (the image has %08X there)" % (
                offsets[0], struct.unpack("<I", word)[0],
                struct.unpack_from("<I", data, ADDRESS_SIZE + offsets[0] - address)[0]))
    return 0 if firmware and mismatches == 0 else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, ValueError, IndexError, struct.error, zlib.error) as problem:
        sys.exit("show_flash: %s" % problem)
