#!/usr/bin/env python3
"""Re-stamps the audio tags of an FLV with a drifting clock.

Each audio timestamp t becomes floor(t * factor) plus a jitter of up to
+/- jitter ms after the first half second, drawn from a fixed linear
congruential sequence so that the same input always gives the same output.
Video and script tags and every payload are copied unchanged; with --video
the video tags are stamped by the same clock too (without jitter), as by a
recorder whose one clock runs fast; with --drop-script the script tags
(onMetaData among them) are left out, as in a recording whose writer never
finished it.

usage: flvdrift.py IN.flv OUT.flv [--factor 1.03] [--jitter 12] [--seed 7] [--video] [--drop-script]
"""
import argparse
import struct
import sys


def tags(data):
    """Yields (offset, type, size, timestamp) for each complete tag."""
    if data[:3] != b"FLV" or len(data) < 13:
        raise ValueError("not an FLV file")
    pos = struct.unpack(">I", data[5:9])[0] + 4
    while pos + 11 <= len(data):
        tag_type = data[pos] & 0x1F
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        ts = int.from_bytes(data[pos + 4:pos + 7], "big") | (data[pos + 7] << 24)
        if pos + 11 + size + 4 > len(data):
            break
        yield pos, tag_type, size, ts
        pos += 11 + size + 4


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("input")
    ap.add_argument("output")
    ap.add_argument("--factor", type=float, default=1.03)
    ap.add_argument("--jitter", type=int, default=12)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--video", action="store_true")
    ap.add_argument("--drop-script", action="store_true")
    args = ap.parse_args()

    data = bytearray(open(args.input, "rb").read())
    state = args.seed & 0xFFFFFFFF
    for pos, tag_type, _size, ts in list(tags(data)):
        if tag_type != 8 and not (args.video and tag_type == 9):
            continue
        new = int(ts * args.factor)
        if tag_type == 8 and ts > 500 and args.jitter > 0:
            state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
            new += (state >> 8) % (2 * args.jitter + 1) - args.jitter
        new = max(0, new) & 0xFFFFFFFF
        data[pos + 4:pos + 7] = (new & 0xFFFFFF).to_bytes(3, "big")
        data[pos + 7] = new >> 24
    if args.drop_script:
        start = struct.unpack(">I", data[5:9])[0] + 4
        kept = bytearray(data[:start])
        for pos, tag_type, size, _ts in tags(data):
            if tag_type != 18:
                kept += data[pos:pos + 11 + size + 4]
        data = kept
    open(args.output, "wb").write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
