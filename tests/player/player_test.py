#!/usr/bin/env python3
"""Repaired files played by the web's FLV players.

Makes an H.264 + MP3 FLV and an H.264 + AAC FLV with ffmpeg, stamps each by
a clock running 3 % fast with jitter and drops its onMetaData (flvdrift.py),
repairs them with tagmend (the AAC one with --aac), then plays the MP3 repair
with flv.js and the AAC repair with flv.js and with mpegts.js (flv.js's
successor) in headless Chromium, served from
a loopback-only HTTP server with Range support. Passes when the player
reports no error, decodes frames while it plays (the picture moves), gives
the clip's duration within 0.5 s, and seeks to the middle through the
repair's key-frame index (a Range request from a key frame's offset) and
plays on from there.

Then the same with mpegts.js, which also reads the extended video header, on
the libaom AV1 + MP3 sample of samples/enhanced repaired by
tagmend: frames decoded, the duration, a seek to the middle through the
index. That player cannot play SVT-AV1 or VP9 streams or Sorenson video,
has no HEVC in this Chromium, and stops at the Metadata packet of some
streams ("Invalid video packet type 4"): those samples are not played.

Exit codes: 0 pass, 1 fail, 77 skipped (Chromium cannot start here).

usage: player_test.py --tagmend PATH --source CHECKOUT [--flvjs flv.min.js]
                      [--mpegts mpegts.js] [--keep DIR]
"""
import argparse
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FLVJS_VERSION = "1.6.2"
SECONDS = 20  # the clip's length
FPS = 25
SKIP = 77


MPEGTS_VERSION = "1.8.2"
ENHANCED_SAMPLE = "av1aom_mp3"  # 4 s of AV1 (libaom) and MP3 at 25 frames/s


def default_flvjs():
    return os.path.expanduser(
        f"~/.cache/tagmend/npm/flv.js-{FLVJS_VERSION}/node_modules/flv.js/dist/flv.min.js")


def default_mpegts():
    return os.path.expanduser(
        f"~/.cache/tagmend/npm/mpegts.js-{MPEGTS_VERSION}/node_modules/mpegts.js/dist/mpegts.js")


def keyframe_offsets(path):
    """File offsets of the video key-frame tags of an FLV."""
    data = open(path, "rb").read()
    pos = int.from_bytes(data[5:9], "big") + 4
    offsets = set()
    while pos + 11 <= len(data):
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        if data[pos] & 0x1F == 9 and size > 0:
            flags = data[pos + 11]
            if flags & 0x80:  # extended header: key frames that hold coded frames
                if (flags >> 4) & 7 == 1 and flags & 0x0F in (1, 3):
                    offsets.add(pos)
            elif flags >> 4 == 1:
                offsets.add(pos)
        pos += 11 + size + 4
    return offsets


class Site:
    """The player page, flv.js and the media, served on 127.0.0.1 only.

    The first download of the media stalls after its first `stall` bytes, as
    on a slow network: the player must fetch the rest with a Range request,
    and can reach the middle only from a key frame's offset in its index."""

    def __init__(self, files, stall):
        self.files = files  # URL path -> (file path, content type)
        self.stall = stall
        self.ranges = []    # start offsets of the Range requests for the media
        self.result = None
        self.stage = "page not loaded"
        self.done = threading.Event()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                entry = site.files.get(self.path.partition("?")[0])
                if entry is None:
                    self.send_error(404)
                    return
                body = open(entry[0], "rb").read()
                start, end = 0, len(body) - 1
                header = self.headers.get("Range")
                if header and header.startswith("bytes="):
                    first, _, last = header[6:].partition("-")
                    start = int(first) if first else 0
                    end = min(int(last), end) if last else end
                    if self.path == "/media.flv":
                        site.ranges.append(start)
                    if start > end:
                        self.send_response(416)
                        self.send_header("Content-Range", f"bytes */{len(body)}")
                        self.end_headers()
                        return
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {start}-{end}/{len(body)}")
                else:
                    if self.path == "/media.flv":
                        site.ranges.append(0)
                    self.send_response(200)
                self.send_header("Content-Type", entry[1])
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("Content-Length", str(end - start + 1))
                self.end_headers()
                stalled = self.path == "/media.flv" and site.ranges == [0]
                try:
                    self.wfile.write(body[start:site.stall if stalled else end + 1])
                    self.wfile.flush()
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the player aborts its download when it seeks
                if stalled:
                    site.done.wait(150)

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                payload = self.rfile.read(length)
                self.send_response(204)
                self.end_headers()
                if self.path == "/stage":
                    site.stage = payload.decode(errors="replace")
                if self.path == "/result":
                    site.result = json.loads(payload)
                    site.done.set()

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def url(self, path):
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def chromium_command(profile):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        return None
    return [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-extensions", "--mute-audio", "--autoplay-policy=no-user-gesture-required",
            f"--user-data-dir={profile}"]


def chromium_starts(command):
    """Why Chromium cannot start here, or None when it can."""
    if command is None:
        return "no chromium on PATH (scripts/install-deps.sh installs it)"
    try:
        r = subprocess.run(command + ["--dump-dom", "about:blank"], capture_output=True,
                           text=True, timeout=90)
    except subprocess.TimeoutExpired:
        return "chromium --dump-dom about:blank did not finish in 90 s"
    if r.returncode != 0 or "<html" not in r.stdout:
        return f"chromium exited {r.returncode}: {r.stderr.strip()[-500:]}"
    return None


def make_repaired_input(work, args, audio):
    """audio: "mp3" or "aac"."""
    source = os.path.join(work, f"source-{audio}.flv")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                    "-f", "lavfi", "-i", f"testsrc2=size=320x240:rate={FPS}",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                    "-t", str(SECONDS), "-c:v", "libx264", "-preset", "veryfast", "-g", str(FPS),
                    "-pix_fmt", "yuv420p", "-c:a", "libmp3lame" if audio == "mp3" else "aac",
                    "-f", "flv", source], check=True)
    damaged = os.path.join(work, f"recorded-{audio}.flv")
    subprocess.run([sys.executable, os.path.join(args.source, "scripts", "flvdrift.py"), source,
                    damaged, "--factor", "1.03", "--jitter", "15", "--video", "--drop-script"], check=True)
    options = ["--aac"] if audio == "aac" else []
    r = subprocess.run([args.tagmend] + options + [damaged, os.path.join(work, f"repaired-{audio}")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"tagmend exited {r.returncode}: {r.stdout}{r.stderr}")
    return os.path.join(work, f"repaired-{audio}.flv")


def repaired_enhanced_sample(work, args):
    r = subprocess.run([args.tagmend, os.path.join(args.source, "samples", "enhanced", ENHANCED_SAMPLE + ".flv"),
                        os.path.join(work, "repaired-" + ENHANCED_SAMPLE)], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"tagmend exited {r.returncode}: {r.stdout}{r.stderr}")
    return os.path.join(work, "repaired-" + ENHANCED_SAMPLE + ".flv")


def play(media, player, command, query="", stall=True):
    page = os.path.join(os.path.dirname(os.path.abspath(__file__)), "player.html")
    files = {"/player.html": (page, "text/html"),
             "/player.js": (player, "application/javascript"),
             "/media.flv": (media, "video/x-flv")}
    size = os.path.getsize(media)
    with Site(files, size * 2 // 5 if stall else size) as site:
        browser = subprocess.Popen(command + [site.url("/player.html" + query)], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, start_new_session=True)
        try:
            finished = site.done.wait(120)
        finally:
            try:
                os.killpg(browser.pid, signal.SIGTERM)
                browser.wait(20)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                os.killpg(browser.pid, signal.SIGKILL)
                browser.wait()
        if not finished:
            log = browser.stderr.read().decode(errors="replace")[-2000:]
            raise RuntimeError(f"the page reported nothing within 120 s (its last stage: {site.stage}, "
                               f"media requested from {site.ranges}); chromium said: {log}")
        return site.result, list(site.ranges)


def judge(result, ranges, keyframes, seconds=SECONDS, least_span=2.5, least_after=(1.0, 10),
          known_errors=(), from_index=True):
    """The failures, as sentences. known_errors: what the player reports of
    its own limits; from_index: the seek must fetch from a key frame."""
    failures = []
    errors = [e for e in result["errors"] if not any(k in e for k in known_errors)]
    if errors:
        failures.append(f"error events: {errors}")
    played = result.get("played")
    if not played:
        return failures + ["playback never started"]
    span = played["to"] - played["from"]
    if span < least_span:
        failures.append(f"only {span:.2f} s played in the time given")
    if played["frames"] < FPS * span * 0.5:
        failures.append(f"the picture does not move: {played['frames']} frames decoded "
                        f"in {span:.2f} s of playback")
    duration = result.get("duration")
    if duration is None or abs(duration - seconds) > 0.5:
        failures.append(f"duration {duration} s for {seconds} s of content")
    seek = result.get("seek")
    if not seek or not seek["landed"]:
        failures.append(f"the seek to the middle never completed: {seek}")
    else:
        if abs(seek["at"] - seconds / 2) > min(1.5, seconds / 4):
            failures.append(f"seeked to {seek['at']:.2f} s for {seconds / 2} s")
        after = seek["after"]
        if after["to"] - after["from"] < least_after[0] or after["frames"] < least_after[1]:
            failures.append(f"no playback after the seek: {after}")
        if from_index and not [r for r in ranges[1:] if r in keyframes]:
            failures.append(f"no request from a key frame's offset (requests from {ranges})")
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tagmend", required=True)
    ap.add_argument("--source", required=True, help="the checkout (for scripts/flvdrift.py)")
    ap.add_argument("--flvjs", default=os.environ.get("TAGMEND_FLVJS", default_flvjs()))
    ap.add_argument("--mpegts", default=os.environ.get("TAGMEND_MPEGTS", default_mpegts()))
    ap.add_argument("--keep", help="a folder to keep the files in")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="tagmend-player-") as tmp:
        work = args.keep or tmp
        os.makedirs(work, exist_ok=True)
        command = chromium_command(os.path.join(tmp, "profile"))
        why = chromium_starts(command)
        if why:
            print(f"SKIPPED: Chromium cannot start, the player test did not run: {why}")
            return SKIP
        players = {"flv.js": (FLVJS_VERSION, args.flvjs), "mpegts.js": (MPEGTS_VERSION, args.mpegts)}
        for name, (version, path) in players.items():
            if not os.path.isfile(path):
                print(f"FAILED: {name} {version} missing at {path} (scripts/install-deps.sh puts it there)")
                return 1
        media = {audio: make_repaired_input(work, args, audio) for audio in ("mp3", "aac")}
        failed = False
        for audio, name in (("mp3", "flv.js"), ("aac", "flv.js"), ("aac", "mpegts.js")):
            version, path = players[name]
            failed |= report(f"{audio.upper()} repair, {name} {version}", media[audio], path, command, "", {})
        # The enhanced sample is 4 s long: a shorter play before and after the
        # seek. mpegts.js reports the Metadata packet (colorInfo) that ffmpeg
        # writes as an error and plays on, and gives an AV1 stream no index:
        # the whole file is sent, and the seek lands in what it holds.
        sample = repaired_enhanced_sample(work, args)
        # A browser of its own: the first one's profile may still be held.
        command = chromium_command(os.path.join(tmp, "profile-mpegts"))
        failed |= report(f"mpegts.js {MPEGTS_VERSION}, {ENHANCED_SAMPLE}", sample, args.mpegts, command,
                         "?play=1.5&after=1", {"seconds": 4.05, "least_span": 1.2, "least_after": (0.8, 10),
                                               "known_errors": ("Invalid video packet type 4",),
                                               "from_index": False}, stall=False)
        return 1 if failed else 0


def report(name, media, player, command, query, limits, stall=True):
    """Plays media and prints what came of it; True when it failed."""
    started = time.monotonic()
    result, ranges = play(media, player, command, query, stall)
    print(f"{name} in {os.path.basename(command[0])}, "
          f"{time.monotonic() - started:.1f} s: {json.dumps({k: v for k, v in result.items() if k != 'log'})}; media requested from {ranges}")
    failures = judge(result, ranges, keyframe_offsets(media), **limits)
    for f in failures:
        print(f"FAILED ({name}): {f}")
    if failures:
        print("player log:\n  " + "\n  ".join(result.get("log", [])[-40:]))
    return bool(failures)


if __name__ == "__main__":
    sys.exit(main())
