#!/bin/sh
# Regenerates the seed corpus of the BIRD fuzzer with the image writer. Whole files begin with
# "bird"; the other seeds are bare bodies, which the fuzzer compresses itself.
set -eu
cd "$(dirname "$0")"
WRITER="python3 ../../tools/bird_writer/bird_writer.py"
OUT=corpus/bird
rm -rf "$OUT"
mkdir -p "$OUT"
$WRITER generic "$OUT/generic.bird" --firmware-size 0x320
$WRITER for-serial "$OUT/for-serial.bird" --serial 40F5849A --firmware-size 0x320
$WRITER custom "$OUT/all-types.body" --body-only \
    --loader 0x10000000 C0DEC0DE --firmware 0 0100000002000000030000000400000005000000640000000600000000000000AA \
    --serial-offsets 0x8 0x10 --info 1234 "1.2.3 beta" 40F5849A ABC --start-address 0x20000400 --raw 0xE7 01
$WRITER custom "$OUT/short-blocks.body" --body-only \
    --raw 0x01 0102 --raw 0x02 000000100000 --raw 0x04 2020373720202020 --raw 0x05 20
$WRITER custom "$OUT/overrun.body" --body-only --firmware 0x1000 0102 --block-declaring 0x01 1000 00002000AABBCCDD
$WRITER custom "$OUT/count-and-trailing.body" --body-only --firmware 0x1000 0102 --declared-count 3 --trailing AABB
