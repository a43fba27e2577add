#!/usr/bin/env python3
"""Times a whole subtitle run over a warm cache in each timeline mode: WAV clips, MP3 clips
(--format mp3_44100), WAV clips with --autospeed (every tenth clip longer than its slot, so it
is stretched), WAV clips with --loudness -16 and WAV clips with the exchange formats (--dapt-out
and --stems besides the WAV). Prints wall time and peak resident memory of
each run beside ffmpeg decoding the same clips (`ffmpeg -f concat -i list -f null -`).

With --hours 4 the same runs make a four-hour narration; --memory-only skips ffmpeg then.
Run by hand; builds nothing. No request is ever made: the service URL is a closed port.
"""

import argparse
import array
import concurrent.futures
import importlib.machinery
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
nb = importlib.machinery.SourceFileLoader("narration_bench",
                                         os.path.join(HERE, "narration-bench.py")).load_module()

RATE = nb.RATE
MODES = ("wav", "mp3", "autospeed", "loudness", "exchange")


def build_clips(work, cues, duration_s, long_every):
    """The subtitle file and one WAV clip per cue in `work/cache`; every `long_every`-th clip
    (0: none) is too long for its slot. Returns (vtt, cache dir, clip paths, timeline s)."""
    cache = os.path.join(work, "cache")
    os.makedirs(cache)
    spacing_ms = duration_s * 1000 // cues
    cue_ms = nb.CUE_LENGTH_MS
    if spacing_ms < cue_ms:
        sys.exit("modes-bench: %d cues do not fit in %d s" % (cues, duration_s))
    rng = random.Random(1500)
    texts = []
    for i in range(cues):
        words = [nb.WORDS[(i * 7 + k) % len(nb.WORDS)] for k in range(5 + i % 9)]
        texts.append("%d %s." % (i + 1, " ".join(words)))
    starts = [i * spacing_ms for i in range(cues)]
    lines = ["WEBVTT", ""]
    for i in range(cues):
        lines += [str(i + 1), "%s --> %s" % (nb.timestamp(starts[i]),
                                            nb.timestamp(starts[i] + cue_ms)), texts[i], ""]
    vtt = os.path.join(work, "narration.vtt")
    with open(vtt, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))

    bank = nb.speech_bank(8, 7.5)
    paths = []
    for i in range(cues):
        too_long = long_every and i % long_every == long_every - 1
        # Long clips need a stretch of 1.1 to 1.4 to fit their slot.
        seconds = rng.uniform(1.1, 1.4) * spacing_ms / 1000 if too_long else rng.uniform(1.8, 4.3)
        speech = int(seconds * RATE)
        tail = int(rng.uniform(0.2, 0.3) * RATE)
        source = bank[i % len(bank)]
        offset = rng.randrange(0, len(source) - speech)
        clip = source[offset:offset + speech]
        for k in range(min(256, speech)):
            clip[speech - 1 - k] = int(clip[speech - 1 - k] * (k + 32) / 288)
        clip.extend(array.array("h", bytes(2 * tail)))
        prev = texts[i - 1] if i > 0 else ""
        nxt = texts[i + 1] if i + 1 < cues else ""
        name = nb.cache_key(texts[i], prev, nxt, nb.DEFAULT_VOICE_ID, nb.SPEED)
        path = os.path.join(cache, name + ".wav")
        nb.write_wav(path, clip)
        paths.append(path)
    timeline_s = (starts[-1] + cue_ms) / 1000
    return vtt, cache, paths, timeline_s


def encode_mp3_clips(wav_paths, cache):
    """The same clips as 128 kb/s mono MP3 files beside the WAV ones, in a separate cache."""
    os.makedirs(cache)

    def encode(path):
        target = os.path.join(cache, os.path.basename(path)[:-4] + ".mp3")
        subprocess.run(["lame", "--quiet", "--noreplaygain", "-b", "128", "-m", "m", path,
                        target], check=True)
        return target

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        return list(pool.map(encode, wav_paths))


def timed(name, argv, env, log):
    """Runs argv; returns a Step with wall time, peak RSS and CPU time (user + system): on a
    busy machine the CPU time is the steadier comparison."""
    with open(log, "wb") as err:
        begin = time.perf_counter()
        child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - begin
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        with open(log, "rb") as err:
            tail = err.read()[-4000:].decode("utf-8", "replace")
        sys.exit("modes-bench: %s failed with status %d:\n%s" % (name, child.returncode, tail))
    step = nb.Step(name, wall, usage.ru_maxrss, None)
    step.cpu = usage.ru_utime + usage.ru_stime
    return step


def concat_list(path, clips):
    with open(path, "w", encoding="utf-8") as out:
        out.write("ffconcat version 1.0\n")
        for clip in clips:
            out.write("file '%s'\n" % clip)
    return path


def warm(paths):
    for path in paths:
        with open(path, "rb") as clip:
            while clip.read(1 << 20):
                pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("lyrane", help="the lyrane program")
    parser.add_argument("--hours", type=float, default=2.0)
    parser.add_argument("--modes", default=",".join(MODES), help="comma-separated: " +
                        ", ".join(MODES))
    parser.add_argument("--runs", type=int, default=1, help="runs of each step; the best counts")
    parser.add_argument("--memory-only", action="store_true", help="skip the ffmpeg steps")
    parser.add_argument("--work", help="directory for the caches and outputs (default: a new "
                        "directory in $TMPDIR, removed afterwards)")
    args = parser.parse_args()
    modes = [m for m in args.modes.split(",") if m]
    for mode in modes:
        if mode not in MODES:
            sys.exit("modes-bench: unknown mode %s" % mode)
    lyrane = os.path.abspath(args.lyrane)
    if not os.access(lyrane, os.X_OK):
        sys.exit("modes-bench: no executable at %s" % args.lyrane)
    for tool in ("ffmpeg", "lame"):
        if not shutil.which(tool):
            sys.exit("modes-bench: %s is not installed" % tool)
    owned = args.work is None
    work = tempfile.mkdtemp(prefix="lyrane-modes.") if owned else os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        return bench(args, modes, lyrane, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def bench(args, modes, lyrane, work):
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    duration_s = int(args.hours * 3600)
    cues = int(1500 * args.hours / 2)
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET")}
    env["LYRANE_API_URL"] = "http://127.0.0.1:%d" % nb.closed_port()
    env["ELEVENLABS_API_KEY"] = "modes-bench"
    env["HOME"] = work
    env["LC_ALL"] = "C.UTF-8"

    begin = time.perf_counter()
    plain = os.path.join(work, "plain")
    os.makedirs(plain)
    vtt, cache, wavs, timeline_s = build_clips(plain, cues, duration_s, 0)
    fixtures = {"wav": (vtt, cache, wavs), "loudness": (vtt, cache, wavs),
                "exchange": (vtt, cache, wavs)}
    if "mp3" in modes:
        mp3_cache = os.path.join(plain, "mp3cache")
        fixtures["mp3"] = (vtt, mp3_cache, encode_mp3_clips(wavs, mp3_cache))
    if "autospeed" in modes:
        stretched = os.path.join(work, "stretched")
        os.makedirs(stretched)
        svtt, scache, swavs, _ = build_clips(stretched, cues, duration_s, 10)
        fixtures["autospeed"] = (svtt, scache, swavs)
    print("fixture: %d cues over %.1f s, made in %.1f s" % (cues, timeline_s,
                                                             time.perf_counter() - begin))

    out = os.path.join(work, "out.wav")
    log = os.path.join(work, "step.log")
    rows = []
    for mode in modes:
        mvtt, mcache, clips = fixtures[mode]
        argv = [lyrane, "--vtt", mvtt, "--temp-dir", mcache, "--output", out]
        if mode == "mp3":
            argv += ["--format", "mp3_44100"]
        elif mode == "autospeed":
            argv += ["--autospeed"]
        elif mode == "loudness":
            argv += ["--loudness", "-16"]
        elif mode == "exchange":
            # An output of its own: the WAV mode's would be patched, not written.
            argv[-1] = os.path.join(work, "exchange.wav")
            argv += ["--dapt-out", os.path.join(work, "script.ttml"), "--stems",
                     os.path.join(work, "stems")]
        warm(clips)
        steps = [("lyrane " + mode, argv)]
        if not args.memory_only and mode in ("wav", "mp3", "autospeed"):
            listing = concat_list(os.path.join(work, "list-%s.txt" % mode), clips)
            steps.append(("ffmpeg decode " + mode + " clips",
                          ["ffmpeg", "-nostdin", "-v", "error", "-f", "concat", "-safe", "0",
                           "-i", listing, "-f", "null", "-"]))
        for name, step_argv in steps:
            best = None
            for _ in range(args.runs):
                step = timed(name, step_argv, env, log)
                if best is None or step.wall < best.wall:
                    best = step
            if name.startswith("lyrane"):
                with open(log, encoding="utf-8", errors="replace") as text:
                    tail = text.read()
                if "Generating audio" in tail or "delayed by" in tail:
                    sys.exit("modes-bench: the run did not use the cache as planned:\n" +
                             tail[-2000:])
                loudness = [line for line in tail.splitlines() if line.startswith("Loudness:")]
                best.note = loudness[-1] if loudness else ""
            else:
                best.note = ""
            rows.append(best)

    print()
    print("%.1f hours, %d clips" % (timeline_s / 3600, cues))
    print("%-30s %9s %9s %13s  %s" % ("step", "wall s", "CPU s", "peak RSS MiB", ""))
    for step in rows:
        print("%-30s %9.2f %9.2f %13.0f  %s" % (step.name, step.wall, step.cpu,
                                                step.peak_kib / 1024, step.note))
    by_name = {step.name: step for step in rows}
    for mode in ("wav", "mp3", "autospeed"):
        ours = by_name.get("lyrane " + mode)
        theirs = by_name.get("ffmpeg decode " + mode + " clips")
        if ours and theirs:
            print("%s: %.2fx ffmpeg's decoding time (wall), %.2fx its CPU time" %
                  (mode, ours.wall / theirs.wall, ours.cpu / theirs.cpu))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
