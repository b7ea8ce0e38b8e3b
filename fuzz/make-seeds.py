#!/usr/bin/env python3
"""Makes the fuzzers' seed corpus from small files that ffmpeg writes.

    fuzz/make-seeds.py OUTDIR

OUTDIR/flv   FLV files: MP3 + H.263, PCM + video, Nellymoser (8 kHz and
             44.1 kHz) + video, PCM without video, video without audio, and
             each cut to its first 4 KiB
OUTDIR/amf0  the script data of their onMetaData tags
OUTDIR/mp3   MP3 files (with and without a LAME tag, with an ID3v2 tag) and
             single frame headers
Deterministic for one ffmpeg version; needs ffmpeg on PATH.
"""
import os
import struct
import subprocess
import sys
import tempfile

SECONDS = "0.4"
VIDEO = ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=" + SECONDS]


def audio(rate):
    return ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=%d:duration=%s" % (rate, SECONDS)]


FLVS = {
    "mp3_h263.flv": VIDEO + audio(22050) + ["-c:v", "flv1", "-c:a", "libmp3lame", "-b:a", "32k", "-ar", "22050"],
    "pcm_h263.flv": VIDEO + audio(11025) + ["-c:v", "flv1", "-c:a", "pcm_s16be", "-ar", "11025"],
    "pcm_u8_only.flv": audio(11025) + ["-c:a", "pcm_u8", "-ar", "11025"],
    "nelly8k_h263.flv": VIDEO + audio(8000) + ["-c:v", "flv1", "-c:a", "nellymoser", "-ar", "8000"],
    "nelly44k_h263.flv": VIDEO + audio(44100) + ["-c:v", "flv1", "-c:a", "nellymoser", "-ar", "44100"],
    "aac_h263.flv": VIDEO + audio(48000) + ["-c:v", "flv1", "-c:a", "aac", "-b:a", "32k", "-ar", "48000"],
    "video_only.flv": VIDEO + ["-c:v", "flv1"],
}
MP3S = {
    "lame_tag.mp3": audio(44100) + ["-c:a", "libmp3lame", "-b:a", "64k"],
    "no_tag.mp3": audio(22050) + ["-c:a", "libmp3lame", "-b:a", "32k", "-write_xing", "0"],
    "id3.mp3": audio(16000) + ["-c:a", "libmp3lame", "-b:a", "24k", "-id3v2_version", "3",
                                "-metadata", "title=seed"],
}


def ffmpeg(out, args, fmt):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-bitexact"] + args +
                   ["-f", fmt, out], check=True)


def script_bodies(data):
    """The data of each script tag (type 18) of an FLV file."""
    bodies = []
    if data[:3] != b"FLV":
        return bodies
    pos = struct.unpack(">I", data[5:9])[0] + 4
    while pos + 11 <= len(data):
        kind = data[pos] & 0x1F
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        if kind == 18:
            bodies.append(data[pos + 11:pos + 11 + size])
        pos += 11 + size + 4
    return bodies


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    for sub in ("flv", "amf0", "mp3"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, args in FLVS.items():
            path = os.path.join(tmp, name)
            ffmpeg(path, args, "flv")
            data = open(path, "rb").read()
            write(os.path.join(out, "flv", name), data)
            write(os.path.join(out, "flv", "head4k_" + name), data[:4096])
            for i, body in enumerate(script_bodies(data)):
                write(os.path.join(out, "amf0", "%s_%d" % (name, i)), body)
        for name, args in MP3S.items():
            path = os.path.join(tmp, name)
            ffmpeg(path, args, "mp3")
            write(os.path.join(out, "mp3", name), open(path, "rb").read())
    # Single headers: MPEG-1 L3, MPEG-2 L3, MPEG-2.5 L3, MPEG-1 L2, L1, with CRC.
    for i, h in enumerate([b"\xff\xfb\x90\x64", b"\xff\xf3\x48\xc4", b"\xff\xe3\x18\xc4",
                           b"\xff\xfd\x94\x00", b"\xff\xff\x90\x00", b"\xff\xfa\x92\x00"]):
        write(os.path.join(out, "mp3", "header_%d" % i), h)
    # A nested AMF0 value: an object holding a strict array and a date.
    nested = (b"\x03" + b"\x00\x01a" + b"\x0a\x00\x00\x00\x02" + b"\x00" + b"\x00" * 8 + b"\x05" +
              b"\x00\x01d" + b"\x0b" + b"\x00" * 10 + b"\x00\x00\x09")
    write(os.path.join(out, "amf0", "nested"), nested)


if __name__ == "__main__":
    main()
