#!/usr/bin/env python3
"""Repeats the audio and video tags of a short FLV clip, timestamps running
on, until the output reaches a size: long benchmark inputs made from a clip
that ffmpeg encodes in seconds.

  loop-flv.py CLIP OUT BYTES
"""
import sys

src, dst, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = open(src, "rb").read()
p = int.from_bytes(d[5:9], "big") + 4
tags = []
while p + 11 <= len(d):
    n = int.from_bytes(d[p + 1:p + 4], "big")
    if d[p] in (8, 9):
        ts = int.from_bytes(d[p + 4:p + 7], "big") | d[p + 7] << 24
        tags.append((ts, d[p:p + 11 + n + 4]))
    p += 11 + n + 4
# The next copy starts where this one's audio ends (1152-sample frames).
last_audio = max(ts for ts, tag in tags if tag[0] == 8)
period = last_audio + round(1152 * 1000 / 44100)
with open(dst, "wb") as out:
    out.write(d[:13])
    written, k = 13, 0
    while written < size:
        for ts, tag in tags:
            t = ts + k * period
            b = bytearray(tag)
            b[4:7] = (t & 0xFFFFFF).to_bytes(3, "big")
            b[7] = t >> 24 & 0xFF
            out.write(b)
            written += len(b)
        k += 1
