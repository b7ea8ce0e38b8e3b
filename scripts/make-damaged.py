#!/usr/bin/env python3
"""Writes damaged FLV files made from a few well-formed ones.

    scripts/make-damaged.py OUTDIR BASE.flv [BASE.flv ...]

For every base file, one file per damage in each class below, named
<base>__<class>_<n>.flv, into OUTDIR; prints the number written. The same
bases give the same files (a fixed random seed per base and class).

Classes: truncated, flipped (tag-header bytes), datasize (absurd DataSize),
prevsize (garbage PreviousTagSize), zerolen (zero-length tags), dataoffset
(bad DataOffset), amf (deep, huge or cut AMF0 script data), nonfinite
(NaN/Inf/huge numbers in onMetaData), timestamps (backwards, extended byte
set, wrapping), flags (audio/video flags and tag types), garbage (random
bytes and inserted runs), gapsum (gap lengths summing past 64 bits).
"""
import os
import random
import struct
import sys
import zlib


def parse(data):
    """(header bytes, [(offset, type, timestamp, body)]) of a well-formed FLV."""
    offset = struct.unpack(">I", data[5:9])[0]
    header = data[:offset]
    tags = []
    pos = offset + 4
    while pos + 11 <= len(data):
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        if pos + 11 + size > len(data):
            break
        ts = int.from_bytes(data[pos + 4:pos + 7], "big") | (data[pos + 7] << 24)
        tags.append((pos, data[pos] & 0x1F, ts, data[pos + 11:pos + 11 + size]))
        pos += 11 + size + 4
    return header, tags


def tag_bytes(kind, ts, body, size=None, prev=None):
    size = len(body) if size is None else size
    head = bytes([kind]) + (size & 0xFFFFFF).to_bytes(3, "big") + \
        (ts & 0xFFFFFF).to_bytes(3, "big") + bytes([(ts >> 24) & 0xFF]) + b"\0\0\0"
    prev = 11 + len(body) if prev is None else prev
    return head + body + struct.pack(">I", prev & 0xFFFFFFFF)


def build(header, tags):
    """tags: (type, timestamp, body) triples."""
    return header + b"\0\0\0\0" + b"".join(tag_bytes(k, t, b) for k, t, b in tags)


def amf_string(s):
    s = s.encode()
    return b"\x02" + struct.pack(">H", len(s)) + s


def amf_number(x):
    return b"\x00" + struct.pack(">d", x)


def amf_key(s):
    s = s.encode()
    return struct.pack(">H", len(s)) + s


def ecma(members):
    return b"\x08" + struct.pack(">I", len(members)) + \
        b"".join(amf_key(k) + v for k, v in members) + b"\0\0\x09"


def nested(depth, kind):
    """depth containers, each holding the next, innermost a number."""
    inner = amf_number(1.0)
    for _ in range(depth):
        if kind == "object":
            inner = b"\x03" + amf_key("a") + inner + b"\0\0\x09"
        elif kind == "ecma":
            inner = b"\x08\0\0\0\x01" + amf_key("a") + inner + b"\0\0\x09"
        else:
            inner = b"\x0a\0\0\0\x01" + inner
    return inner


def script(body):
    return (18, 0, body)


def av_tags(tags):
    return [(k, t, b) for _, k, t, b in tags if k in (8, 9)]


def damages(data, rnd):
    """Yields (class, bytes) for one base file."""
    header, tags = parse(data)
    triples = [(k, t, b) for _, k, t, b in tags]
    offsets = [o for o, _, _, _ in tags]
    n = len(tags)
    picks = sorted(set([0, 1, 2, n // 2, n - 1] + [rnd.randrange(n) for _ in range(3)]))

    # Cut anywhere: inside the header, a tag header, a body, a PreviousTagSize.
    cuts = [0, 1, 3, 8, 9, 12, 13, len(data) - 1, len(data) - 4, len(data) - 5]
    for i in picks[:5]:
        cuts += [offsets[i] + 5, offsets[i] + 11 + len(tags[i][3]) // 2]
    cuts += [rnd.randrange(len(data)) for _ in range(4)]
    for c in sorted(set(x for x in cuts if 0 <= x < len(data))):
        yield "truncated", data[:c]

    # One tag-header byte flipped.
    for i in picks:
        for b in (0, 1, 3, 4, 7, 8):
            mask = rnd.choice([0xFF, 0x80, 0x01, 0x10])
            d = bytearray(data)
            d[offsets[i] + b] ^= mask
            yield "flipped", bytes(d)

    # DataSize that does not match the bytes: huge, zero, one off, past the end.
    for i in picks[:6]:
        for size in (0xFFFFFF, 0, len(tags[i][3]) + 1, max(len(tags[i][3]) - 1, 0),
                     len(data) - offsets[i]):
            d = bytearray(data)
            d[offsets[i] + 1:offsets[i] + 4] = (size & 0xFFFFFF).to_bytes(3, "big")
            yield "datasize", bytes(d)

    # PreviousTagSize garbage: every one, or one at a time.
    for value in (0, 0xFFFFFFFF, 0x7FFFFFFF, 11):
        yield "prevsize", b"".join([header, struct.pack(">I", value)] +
                                   [tag_bytes(k, t, b, prev=value) for k, t, b in triples])
    for i in picks[:4]:
        d = bytearray(data)
        at = offsets[i] + 11 + len(tags[i][3])
        d[at:at + 4] = struct.pack(">I", rnd.getrandbits(32))
        yield "prevsize", bytes(d)

    # Tags with no data at all (the flags byte gone too).
    for kind in (8, 9, 18):
        yield "zerolen", build(header, [(k, t, b"" if k == kind else b) for k, t, b in triples])
    for i in picks[:4]:
        yield "zerolen", build(header, [(k, t, b"" if j == i else b)
                                        for j, (k, t, b) in enumerate(triples)])
    yield "zerolen", build(header, [(8, 0, b"")] * 5 + av_tags(tags))

    # DataOffset pointing anywhere.
    for value in (0, 1, 8, 10, 13, 255, len(data), len(data) + 1, 0x7FFFFFFF, 0xFFFFFFFF):
        d = bytearray(data)
        d[5:9] = struct.pack(">I", value)
        yield "dataoffset", bytes(d)

    # Script data: deep, huge, cut or lying about its lengths, in front of
    # the audio and video tags.
    name = amf_string("onMetaData")
    bodies = [name + nested(depth, kind) for depth in (15, 16, 17, 64, 5000)
              for kind in ("object", "ecma", "strict")]
    bodies += [
        name + b"\x0a\xff\xff\xff\xff" + amf_number(0),         # strict array count 2^32-1
        name + b"\x08\xff\xff\xff\xff\0\0\x09",                 # ECMA count 2^32-1
        name + b"\x0c\xff\xff\xff\xff" + b"x" * 16,             # long string past the end
        name + b"\x02\xff\xff" + b"x" * 16,                     # string past the end
        name + ecma([("k%d" % i, amf_number(i)) for i in range(60000)]),  # many members
        name + b"\x0a\x00\x01\x00\x00" + b"\x05" * 65536,       # 65536 nulls
        name + b"\x07\x00\x01",                                 # reference
        name + b"\x03" + amf_key("a"),                          # object never closed
        b"\x02\x00",                                            # cut name
        name[:5],
        bytes(rnd.getrandbits(8) for _ in range(300)),
        name + bytes(rnd.getrandbits(8) for _ in range(300)),
    ]
    av = av_tags(tags)
    for body in bodies:
        yield "amf", build(header, [script(body)] + av)
    yield "amf", build(header, av[:3] + [script(bodies[-1])] + av[3:])

    # onMetaData numbers that are no finite values.
    for x in (float("nan"), float("inf"), float("-inf"), -0.0, 1e308, -1e308, 5e-324,
              struct.unpack(">d", b"\x7f\xf0\x00\x00\x00\x00\x00\x01")[0]):
        meta = ecma([("duration", amf_number(x)), ("width", amf_number(x)),
                     ("audiosamplerate", amf_number(x)), ("framerate", amf_number(x)),
                     ("filesize", amf_number(x)), ("keyframes", b"\x03" + amf_key("times") +
                      b"\x0a\0\0\0\x02" + amf_number(x) + amf_number(x) + b"\0\0\x09")])
        yield "nonfinite", build(header, [script(name + meta)] + av)

    # Timestamps: backwards, stuck, the extended byte set, wrapping, random.
    def retimed(fn):
        return build(header, [(k, fn(j, t) & 0xFFFFFFFF, b) for j, (k, t, b) in enumerate(triples)])
    yield "timestamps", retimed(lambda j, t: 100000 - t)
    yield "timestamps", retimed(lambda j, t: 0)
    yield "timestamps", retimed(lambda j, t: t | 0xFF000000)
    yield "timestamps", retimed(lambda j, t: t | 0x80000000)
    yield "timestamps", retimed(lambda j, t: 0xFFFFFFFF - j)
    yield "timestamps", retimed(lambda j, t: 0xFFFFFF00 + t)
    yield "timestamps", retimed(lambda j, t: t if j % 7 else t + 0x7FFFFFFF)
    yield "timestamps", retimed(lambda j, t: rnd.getrandbits(32))
    yield "timestamps", retimed(lambda j, t: t if j != n // 2 else 0)

    # Flags: every sound format on the first audio tag, codec ids, tag types.
    first_audio = next((i for i, (k, _, b) in enumerate(triples) if k == 8 and b), None)
    for fmt in (0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 14, 15):
        if first_audio is None:
            break
        d = bytearray(data)
        at = offsets[first_audio] + 11
        d[at] = (fmt << 4) | rnd.getrandbits(4)
        yield "flags", bytes(d)
    for kind in (0, 1, 7, 17, 19, 31):
        yield "flags", build(header, [(kind if j % 3 == 0 else k, t, b)
                                      for j, (k, t, b) in enumerate(triples)])
    yield "flags", build(header, [(k | 0x20, t, b) for k, t, b in triples])  # Filter bit
    for flags in (0x00, 0xFF):
        d = bytearray(data)
        d[4] = flags
        yield "flags", bytes(d)

    # Random bytes written over the file, and runs inserted into it.
    for count in (1, 4, 32, 256):
        d = bytearray(data)
        for _ in range(count):
            d[rnd.randrange(9, len(d))] = rnd.getrandbits(8)
        yield "garbage", bytes(d)
    for _ in range(3):
        at = rnd.randrange(13, len(data))
        run = bytes(rnd.getrandbits(8) for _ in range(rnd.randrange(1, 64)))
        yield "garbage", data[:at] + run + data[at:]
    yield "garbage", data + bytes(rnd.getrandbits(8) for _ in range(100))
    yield "garbage", data[:13] + data[13:][::-1]

    # Gaps whose stored lengths sum past the range of 64-bit ticks: 230000
    # gaps of 2^32-1 ms each way (about 7 MB), for the re-timers that keep
    # gaps (PCM and Nellymoser audio).
    if first_audio is not None and triples[first_audio][2][0] >> 4 in (0, 5, 6):
        flags = triples[first_audio][2][:1]
        video = [(k, t, b) for k, t, b in triples if k == 9][:1]
        for opened, closed in ((0xFFFFFFFF, 0), (0, 0xFFFFFFFF)):
            pair = tag_bytes(8, opened, b"") + tag_bytes(8, closed, flags + b"\0")
            yield "gapsum", build(header, video) + pair * 230000 + \
                b"".join(tag_bytes(k, t, b) for k, t, b in video)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    written = 0
    for base in sys.argv[2:]:
        data = open(base, "rb").read()
        stem = os.path.splitext(os.path.basename(base))[0]
        rnd = random.Random(zlib.crc32(stem.encode()))
        counts = {}
        for cls, damaged in damages(data, rnd):
            counts[cls] = counts.get(cls, 0) + 1
            path = os.path.join(out, "%s__%s_%d.flv" % (stem, cls, counts[cls]))
            with open(path, "wb") as f:
                f.write(damaged)
            written += 1
    print(written)


if __name__ == "__main__":
    main()
