#!/usr/bin/env python3
"""Times a whole subtitle run over a warm cache: a generated two-hour, 1500-cue subtitle file
whose clips are all in the cache, narrated to WAV and to MP3, beside ffmpeg joining the same
clips to WAV and lame encoding the finished timeline to MP3. Prints wall time, peak resident
memory and the realtime factor of each step. Run by hand; builds nothing.

No request is ever made: the service URL points at a closed port on 127.0.0.1, so a cache miss
fails the run loudly instead of going to the network.
"""

import argparse
import array
import hashlib
import math
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import wave

RATE = 44100
DEFAULT_VOICE_ID = "21m00Tcm4TlvDq8ikWAM"  # the default voice
SPEED = 1.0
CUE_LENGTH_MS = 4600  # each clip (silent tail included) fits its cue, so none is delayed
WORDS = ("the quick brown fox jumps over a lazy dog while seven wizards quietly box jugs "
         "of liquor near the old harbour at dawn").split()


def cache_key(text, prev, nxt, voice_id, speed):
    joined = text + prev + nxt + voice_id + ("%.2f" % speed)
    return hashlib.md5(joined.encode("utf-8")).hexdigest()


def timestamp(ms):
    hours, ms = divmod(ms, 3600000)
    minutes, ms = divmod(ms, 60000)
    seconds, ms = divmod(ms, 1000)
    return "%02d:%02d:%02d.%03d" % (hours, minutes, seconds, ms)


def speech_bank(voices, seconds):
    """A few long speech-like signals (voiced harmonics under a syllable envelope, a little
    noise), as 16-bit arrays; clips are slices of them, so generation stays quick."""
    rng = random.Random(7)
    bank = []
    n = int(seconds * RATE)
    for v in range(voices):
        f0 = 110.0 + 23.0 * v
        syllable = 3.5 + 0.4 * v
        w = 2.0 * math.pi / RATE
        samples = array.array("h", bytes(2 * n))
        for k in range(n):
            t = k * w
            envelope = 0.55 + 0.45 * math.sin(syllable * t)
            voiced = (math.sin(f0 * t) + 0.5 * math.sin(2 * f0 * t) + 0.25 * math.sin(3 * f0 * t))
            value = 0.3 * envelope * voiced + 0.02 * (rng.random() - 0.5)
            samples[k] = int(value * 32767)
        bank.append(samples)
    return bank


def write_wav(path, samples):
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(samples.tobytes())


def build_fixture(work, cues, duration_s):
    """Writes the subtitle file, the cached clips and the ffmpeg concat list; returns
    (vtt path, concat list path, timeline samples, cache bytes)."""
    cache = os.path.join(work, "cache")
    silences = os.path.join(work, "silence")
    os.makedirs(cache)
    os.makedirs(silences)
    spacing_ms = duration_s * 1000 // cues
    if spacing_ms < CUE_LENGTH_MS:
        sys.exit("narration-bench: %d cues do not fit in %d s" % (cues, duration_s))
    rng = random.Random(1500)
    texts = []
    for i in range(cues):
        words = [WORDS[(i * 7 + k) % len(WORDS)] for k in range(5 + i % 9)]
        texts.append("%d %s." % (i + 1, " ".join(words)))  # unique: one clip per cue
    starts = [i * spacing_ms for i in range(cues)]
    duration_ms = starts[-1] + CUE_LENGTH_MS
    total_samples = duration_ms * RATE // 1000

    lines = ["WEBVTT", ""]
    for i in range(cues):
        lines += [str(i + 1), "%s --> %s" % (timestamp(starts[i]),
                                            timestamp(starts[i] + CUE_LENGTH_MS)), texts[i], ""]
    vtt = os.path.join(work, "narration.vtt")
    with open(vtt, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))

    bank_seconds = 4.5
    bank = speech_bank(8, bank_seconds)
    concat = []
    cache_bytes = 0
    cursor = 0  # samples written to the concatenation so far
    for i in range(cues):
        # 1.8 to 4.3 s of speech, then 200 to 300 ms of silence: 2.0 to 4.6 s in all.
        speech = int(rng.uniform(1.8, 4.3) * RATE)
        tail = int(rng.uniform(0.2, 0.3) * RATE)
        source = bank[i % len(bank)]
        offset = rng.randrange(0, len(source) - speech)
        clip = source[offset:offset + speech]
        # A short fade, so the cut does not click.
        for k in range(min(256, speech)):
            clip[speech - 1 - k] = int(clip[speech - 1 - k] * (k + 32) / 288)
        clip.extend(array.array("h", bytes(2 * tail)))
        prev = texts[i - 1] if i > 0 else ""
        nxt = texts[i + 1] if i + 1 < cues else ""
        path = os.path.join(cache, cache_key(texts[i], prev, nxt, DEFAULT_VOICE_ID, SPEED) + ".wav")
        write_wav(path, clip)
        cache_bytes += os.path.getsize(path)

        start = starts[i] * RATE // 1000
        gap = start - cursor
        if gap > 0:
            concat.append(write_silence(silences, i, gap))
        concat.append(path)
        cursor = start + len(clip)
    if total_samples > cursor:
        concat.append(write_silence(silences, cues, total_samples - cursor))

    listing = os.path.join(work, "concat.txt")
    with open(listing, "w", encoding="utf-8") as out:
        out.write("ffconcat version 1.0\n")
        for path in concat:
            out.write("file '%s'\n" % path)
    return vtt, cache, listing, total_samples, cache_bytes


def write_silence(directory, index, samples):
    path = os.path.join(directory, "gap%05d.wav" % index)
    write_wav(path, array.array("h", bytes(2 * samples)))
    return path


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]  # nothing listens once it is closed


class Step:
    def __init__(self, name, wall, peak_kib, output):
        self.name = name
        self.wall = wall
        self.peak_kib = peak_kib
        self.output = output


def timed(name, argv, env, output, log):
    """Runs argv, returns a Step with its wall time and the child's peak RSS."""
    with open(log, "wb") as err:
        begin = time.perf_counter()
        child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - begin
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        with open(log, "rb") as err:
            tail = err.read()[-4000:].decode("utf-8", "replace")
        sys.exit("narration-bench: %s failed with status %d:\n%s" % (name, child.returncode, tail))
    return Step(name, wall, usage.ru_maxrss, output)


def check_same_audio(lyrane_wav, ffmpeg_wav):
    """Both files must be the same length; their samples may differ by the 16-bit round trip
    (one step toward zero) and no more. Checks evenly spaced windows, not every sample."""
    with wave.open(lyrane_wav) as a, wave.open(ffmpeg_wav) as b:
        n = a.getnframes()
        if n != b.getnframes():
            return "lengths differ: %d and %d samples" % (n, b.getnframes())
        worst = 0
        for w in range(64):
            at = n * w // 64
            a.setpos(at)
            b.setpos(at)
            x = array.array("h", a.readframes(8192))
            y = array.array("h", b.readframes(8192))
            worst = max([worst] + [abs(p - q) for p, q in zip(x, y)])
        if worst > 1:
            return "samples differ by up to %d" % worst
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("lyrane", help="the lyrane program")
    parser.add_argument("--cues", type=int, default=1500)
    parser.add_argument("--duration", type=int, default=7200, help="timeline seconds")
    parser.add_argument("--runs", type=int, default=1, help="runs of each step; the best counts")
    parser.add_argument("--work", help="directory for the cache and outputs (default: a new "
                        "directory in $TMPDIR, removed afterwards; about 2 GB)")
    parser.add_argument("--only-lyrane", action="store_true", help="skip ffmpeg and lame")
    args = parser.parse_args()
    lyrane = os.path.abspath(args.lyrane)
    if not os.access(lyrane, os.X_OK):
        sys.exit("narration-bench: no executable at %s" % args.lyrane)
    for tool in ("ffmpeg", "lame") if not args.only_lyrane else ():
        if not shutil.which(tool):
            sys.exit("narration-bench: %s is not installed" % tool)

    owned = args.work is None
    work = tempfile.mkdtemp(prefix="lyrane-narration.") if owned else os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        return bench(args, lyrane, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def bench(args, lyrane, work):
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    begin = time.perf_counter()
    vtt, cache, listing, total_samples, cache_bytes = build_fixture(work, args.cues,
                                                                    args.duration)
    timeline_s = total_samples / RATE
    print("fixture: %d cues over %.1f s, %d cached clips (%.0f MB), made in %.1f s" %
          (args.cues, timeline_s, args.cues, cache_bytes / 1e6, time.perf_counter() - begin))

    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET")}
    env["LYRANE_API_URL"] = "http://127.0.0.1:%d" % closed_port()
    env["ELEVENLABS_API_KEY"] = "narration-bench"
    env["HOME"] = work
    env["LC_ALL"] = "C.UTF-8"

    # Read every clip once, so the first timed step does not pay for a cold page cache alone.
    for name in os.listdir(cache):
        with open(os.path.join(cache, name), "rb") as clip:
            while clip.read(1 << 20):
                pass

    out_wav = os.path.join(work, "lyrane.wav")
    out_mp3 = os.path.join(work, "lyrane.mp3")
    ffmpeg_wav = os.path.join(work, "ffmpeg.wav")
    lame_mp3 = os.path.join(work, "lame.mp3")
    steps = [
        ("lyrane --output out.wav",
         [lyrane, "--vtt", vtt, "--temp-dir", cache, "--output", out_wav], out_wav),
        ("lyrane --output out.mp3",
         [lyrane, "--vtt", vtt, "--temp-dir", cache, "--output", out_mp3], out_mp3),
    ]
    if not args.only_lyrane:
        steps += [
            ("ffmpeg concat to WAV",
             ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i",
              listing, "-map_metadata", "-1", "-fflags", "+bitexact", "-flags:a", "+bitexact",
              "-c:a", "pcm_s16le", ffmpeg_wav], ffmpeg_wav),
            ("lame --noreplaygain (WAV)",
             ["lame", "--quiet", "--noreplaygain", "-b", "128", "-m", "m", out_wav, lame_mp3],
             lame_mp3),
        ]

    results = []
    for name, argv, output in steps:
        best = None
        for run in range(args.runs):
            step = timed(name, argv, env, output, os.path.join(work, "step.log"))
            if best is None or step.wall < best.wall:
                best = step
        results.append(best)
        if name.startswith("lyrane"):
            with open(os.path.join(work, "step.log"), encoding="utf-8", errors="replace") as log:
                text = log.read()
            if "Generating audio" in text or "delayed by" in text:
                sys.exit("narration-bench: the run did not use the cache as planned:\n" +
                         text[-2000:])

    print()
    print("%-28s %9s %12s %10s %12s" % ("step", "wall s", "peak RSS MiB", "realtime x",
                                       "output MB"))
    for step in results:
        size = os.path.getsize(step.output) if os.path.exists(step.output) else 0
        print("%-28s %9.2f %12.0f %10.0f %12.1f" % (step.name, step.wall, step.peak_kib / 1024,
                                                     timeline_s / step.wall, size / 1e6))
    print()
    if not args.only_lyrane:
        wav, mp3, ff, lame = results
        print("WAV: lyrane %.2f s vs ffmpeg %.2f s (%.2fx ffmpeg's time; target below 1, "
              "and under 5 s)" % (wav.wall, ff.wall, wav.wall / ff.wall))
        print("MP3: lyrane %.2f s vs lame %.2f s (%.2fx lame's time; target at most 1.2)" %
              (mp3.wall, lame.wall, mp3.wall / lame.wall))
        problem = check_same_audio(out_wav, ffmpeg_wav)
        print("lyrane and ffmpeg WAV: %s" % (problem or "same length, samples within 1 step"))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
