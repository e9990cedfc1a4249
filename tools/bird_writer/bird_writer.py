#!/usr/bin/env python3
"""Writes BIRD firmware images for the tests, the fuzz corpus and the demo.

A BIRD file is the signature "bird", two version bytes, and a zlib stream that holds the body:
a big-endian block count, the blocks (type/flags byte, big-endian length, data) and a 4-byte
checksum. Loader and firmware blocks begin with their big-endian load address; the 32-bit words
inside their payload are the target's own little-endian memory image.

This writer is built from that description alone, independently of the program's reader, so a
mistake on either side shows up against the other.

    bird_writer.py generic OUT [--build N] [--version TEXT] [--model NAME]
        an image for any module of the model: it carries serial-number offsets
    bird_writer.py for-serial OUT --serial HEX [--build N] [--version TEXT] [--model NAME]
        an image made for one module: the serial number is in the info block and the firmware
    bird_writer.py custom OUT BLOCK-OPTIONS...
        the blocks in the order given, for odd and broken images

Options shared by all three: --declared-count N, --checksum N, --trailing HEX (bytes after the
checksum), --header HEX (replaces the six header bytes), --body-hex HEX (the whole body, verbatim),
--body-only (writes the uncompressed body, no header), --describe (prints where the preset layout
put things).
"""

import argparse
import random
import struct
import sys
import zlib

SIGNATURE = b"bird"
FORMAT_VERSION = b"\x01\x01"

TYPE_LOADER = 0
TYPE_FIRMWARE = 1
TYPE_SERIAL_OFFSETS = 2
TYPE_INFO = 4
TYPE_START_ADDRESS = 5

INFO_FIELD_SIZE = 16

# Where the preset images put things (addresses in the module's memory map).
LOADER_ADDRESS = 0x10000000
LOADER_SIZE = 64
MAIN_FIRMWARE_ADDRESS = 0x00000000
SECOND_FIRMWARE_ADDRESS = 0x00010000
SECOND_FIRMWARE_SIZE = 1024
SERIAL_NUMBER_ADDRESS = 0x200
DESCRIPTOR_ADDRESS = 0x300
START_ADDRESS = 0x20000400
GENERIC_SERIAL_PLACEHOLDER = 0xFFFFFFFF
VECTOR_WORDS = 8
VECTOR_CHECKSUM_WORD = 7
VECTOR_WORDS_OUTSIDE_SUM = (5, 7)


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def le32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def block(type_and_flags, data, declared_length=None):
    length = len(data) if declared_length is None else declared_length
    return bytes([type_and_flags & 0xFF]) + be32(length) + data


def addressed_block(block_type, address, payload):
    return block(block_type, be32(address) + payload)


def info_field(text):
    raw = text.encode("ascii")[:INFO_FIELD_SIZE]
    return raw + b" " * (INFO_FIELD_SIZE - len(raw))


def info_block(build, version, serial_text, model):
    data = info_field(str(build)) + info_field(version) + info_field(serial_text) + info_field(model)
    return block(TYPE_INFO, data)


def pseudo_random_bytes(count, seed):
    generator = random.Random(seed)
    return bytes(generator.getrandbits(8) for _ in range(count))


def descriptor_text(serial):
    """The serial number as the string descriptor holds it: 16-bit little-endian characters."""
    return b"".join(bytes([ord(character), 0]) for character in "%08X" % serial)


def firmware_image(size, serial, seed):
    """A main firmware payload for address 0: a vector table with a valid checksum, the serial
    number word and its descriptor text, and pseudo-random code around them."""
    image = bytearray(pseudo_random_bytes(size, seed))
    words = [struct.unpack_from("<I", image, 4 * index)[0] for index in range(VECTOR_WORDS)]
    total = sum(word for index, word in enumerate(words) if index not in VECTOR_WORDS_OUTSIDE_SUM)
    struct.pack_into("<I", image, 4 * VECTOR_CHECKSUM_WORD, (-total) & 0xFFFFFFFF)
    struct.pack_into("<I", image, SERIAL_NUMBER_ADDRESS, serial)
    text = descriptor_text(serial)
    image[DESCRIPTOR_ADDRESS:DESCRIPTOR_ADDRESS + len(text)] = text
    return bytes(image)


def preset_blocks(arguments, generic):
    serial = GENERIC_SERIAL_PLACEHOLDER if generic else arguments.serial
    blocks = [
        addressed_block(TYPE_LOADER, LOADER_ADDRESS, pseudo_random_bytes(LOADER_SIZE, arguments.seed + 1)),
        addressed_block(TYPE_FIRMWARE, MAIN_FIRMWARE_ADDRESS,
                        firmware_image(arguments.firmware_size, serial, arguments.seed)),
        addressed_block(TYPE_FIRMWARE, SECOND_FIRMWARE_ADDRESS,
                        pseudo_random_bytes(SECOND_FIRMWARE_SIZE, arguments.seed + 2)),
    ]
    if generic:
        blocks.append(block(TYPE_SERIAL_OFFSETS, be32(SERIAL_NUMBER_ADDRESS) + be32(DESCRIPTOR_ADDRESS)))
    serial_text = "00000000" if generic else "%08X" % serial
    blocks.append(info_block(arguments.build, arguments.version, serial_text, arguments.model))
    blocks.append(block(TYPE_START_ADDRESS, be32(START_ADDRESS)))
    return blocks


def number(text):
    return int(text, 0)


def hex_bytes(text):
    return bytes.fromhex(text.replace(":", "").replace(" ", ""))


class AppendBlock(argparse.Action):
    """Keeps block options in the order they were given, whatever their kind."""

    def __call__(self, parser, namespace, values, option_string=None):
        blocks = getattr(namespace, "blocks", None) or []
        blocks.append(self.make(values))
        namespace.blocks = blocks

    def make(self, values):
        return BLOCK_MAKERS[self.dest](values)


BLOCK_MAKERS = {
    "loader": lambda v: addressed_block(TYPE_LOADER, number(v[0]), hex_bytes(v[1])),
    "firmware": lambda v: addressed_block(TYPE_FIRMWARE, number(v[0]), hex_bytes(v[1])),
    "firmware_fill": lambda v: addressed_block(TYPE_FIRMWARE, number(v[0]), bytes([number(v[2])]) * number(v[1])),
    "firmware_random": lambda v: addressed_block(TYPE_FIRMWARE, number(v[0]),
                                                 pseudo_random_bytes(number(v[1]), number(v[2]))),
    "serial_offsets": lambda v: block(TYPE_SERIAL_OFFSETS, be32(number(v[0])) + be32(number(v[1]))),
    "info": lambda v: info_block(v[0], v[1], v[2], v[3]),
    "start_address": lambda v: block(TYPE_START_ADDRESS, be32(number(v))),
    "raw": lambda v: block(number(v[0]), hex_bytes(v[1])),
    "block_declaring": lambda v: block(number(v[0]), hex_bytes(v[2]), declared_length=number(v[1])),
}


def add_block_options(parser):
    options = [
        ("--loader", "loader", ("ADDRESS", "HEX"), "loader block: load address and code bytes"),
        ("--firmware", "firmware", ("ADDRESS", "HEX"), "firmware block: load address and payload bytes"),
        ("--firmware-fill", "firmware_fill", ("ADDRESS", "COUNT", "BYTE"), "firmware block of COUNT equal bytes"),
        ("--firmware-random", "firmware_random", ("ADDRESS", "COUNT", "SEED"), "firmware block of pseudo-random bytes"),
        ("--serial-offsets", "serial_offsets", ("SERIAL_ADDRESS", "DESCRIPTOR_ADDRESS"), "serial-offsets block"),
        ("--info", "info", ("BUILD", "VERSION", "SERIAL", "MODEL"), "info block; each text cut or padded to 16"),
        ("--start-address", "start_address", "ADDRESS", "start-address block"),
        ("--raw", "raw", ("TYPE_AND_FLAGS", "HEX"), "any block, data given as hex"),
        ("--block-declaring", "block_declaring", ("TYPE_AND_FLAGS", "LENGTH", "HEX"),
         "a block whose header declares LENGTH whatever data follows"),
    ]
    for flag, dest, metavar, text in options:
        count = len(metavar) if isinstance(metavar, tuple) else None
        parser.add_argument(flag, dest=dest, metavar=metavar, nargs=count, action=AppendBlock, help=text)


def add_preset_options(parser, needs_serial):
    parser.add_argument("--build", type=int, default=100)
    parser.add_argument("--version", default="1.0.0")
    parser.add_argument("--model", default="LV-HUB4")
    parser.add_argument("--firmware-size", type=number, default=2048)
    parser.add_argument("--seed", type=int, default=1)
    if needs_serial:
        parser.add_argument("--serial", type=lambda text: int(text, 16), required=True)


def add_file_options(parser):
    parser.add_argument("output")
    parser.add_argument("--declared-count", type=number)
    parser.add_argument("--checksum", type=number)
    parser.add_argument("--trailing", type=hex_bytes, default=b"")
    parser.add_argument("--header", type=hex_bytes)
    parser.add_argument("--body-only", action="store_true")
    parser.add_argument("--body-hex", type=hex_bytes, help="the whole body, verbatim (blocks are ignored)")
    parser.add_argument("--describe", action="store_true")


def body_of(blocks, arguments):
    joined = b"".join(blocks)
    count = len(blocks) if arguments.declared_count is None else arguments.declared_count
    # The reader keeps the checksum without checking it; any stable value will do.
    checksum = zlib.crc32(joined) if arguments.checksum is None else arguments.checksum
    return be32(count) + joined + be32(checksum) + arguments.trailing


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    generic = commands.add_parser("generic", help="an image with serial-number offsets")
    add_file_options(generic)
    add_preset_options(generic, needs_serial=False)
    for_serial = commands.add_parser("for-serial", help="an image made for one serial number")
    add_file_options(for_serial)
    add_preset_options(for_serial, needs_serial=True)
    custom = commands.add_parser("custom", help="blocks given one by one")
    add_file_options(custom)
    add_block_options(custom)
    arguments = parser.parse_args()

    if arguments.command == "custom":
        blocks = getattr(arguments, "blocks", None) or []
    else:
        blocks = preset_blocks(arguments, generic=arguments.command == "generic")

    body = body_of(blocks, arguments) if arguments.body_hex is None else arguments.body_hex
    if arguments.body_only:
        content = body
    else:
        header = SIGNATURE + FORMAT_VERSION if arguments.header is None else arguments.header
        content = header + zlib.compress(body)
    with open(arguments.output, "wb") as output:
        output.write(content)

    if arguments.describe:
        print("serial_number_address=0x%X" % SERIAL_NUMBER_ADDRESS)
        print("descriptor_address=0x%X" % DESCRIPTOR_ADDRESS)
        print("loader_address=0x%X" % LOADER_ADDRESS)
        print("start_address=0x%X" % START_ADDRESS)
        print("blocks=%d body_bytes=%d file_bytes=%d" % (len(blocks), len(body), len(content)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
