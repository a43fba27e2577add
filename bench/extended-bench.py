#!/usr/bin/env python3
"""Times extended description over a long programme: a generated two-hour test video (160x120,
25 frames a second in H.264 with B-frames, a stereo tone in AAC) narrated from a warm cache of
1500 clips with --dialogue, where every tenth description meets a line it cannot clear and the
programme pauses for it (--extended), against the same run without --extended (the plain mix,
descriptions over the dialogue). Prints wall time, CPU time and peak resident memory of each,
the pauses, and the output's length against the programme's plus the pauses. Run by hand;
builds nothing.

Usage: bench/extended-bench.py [LYRANE_BINARY] [--work DIR] [--duration SECONDS]
"""

import importlib.machinery
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name, file):
    return importlib.machinery.SourceFileLoader(name, os.path.join(HERE, file)).load_module()


def make_programme(path, seconds):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=%d" % seconds,
                    "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000:duration=%d" % seconds,
                    "-ac", "2", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "3", "-g", "250",
                    "-c:a", "aac", "-b:a", "128k", "-shortest", path], check=True)


def write_dialogue(vtt, path, every):
    """A 3.5 s line half a second into every `every`-th cue: too long to wait for."""
    nb = load("benchlib", "benchlib.py")
    with open(vtt, encoding="utf-8") as f:
        starts = [m.group(1) for m in re.finditer(r"^(\S+) --> ", f.read(), re.M)]
    lines = ["WEBVTT", ""]
    for k, start in enumerate(starts):
        if k % every == 0:
            h, m, s = start.split(":")
            ms = (int(h) * 3600 + int(m) * 60) * 1000 + round(float(s) * 1000)
            lines += ["%s --> %s" % (nb.timestamp(ms + 500), nb.timestamp(ms + 4000)),
                      "Dialogue %d." % (k + 1), ""]
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))
    return len(lines) // 3


def duration(path):
    return float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                 "-of", "csv=p=0", path], capture_output=True, text=True,
                                check=True).stdout)


def main():
    pm = load("programme_mix_bench", "programme-mix-bench.py")
    return pm.run_main(__doc__, "extended-bench", "lyrane-extended.", "2 GB", bench)


def bench(args, lyrane, work):
    nb = load("narration_bench", "narration-bench.py")
    pm = load("programme_mix_bench", "programme-mix-bench.py")
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    begin = time.perf_counter()
    vtt, _, _, _, _ = nb.build_fixture(work, args.cues, args.duration - 10)
    cache = os.path.join(work, "cache")
    dialogue = os.path.join(work, "dialogue.vtt")
    lines = write_dialogue(vtt, dialogue, 10)
    film = os.path.join(work, "film.mp4")
    make_programme(film, args.duration)
    print("fixture: %d cached clips, %d dialogue lines, a %d s programme (%.1f MB), made in "
          "%.1f s" % (args.cues, lines, args.duration, os.path.getsize(film) / 1e6,
                      time.perf_counter() - begin))

    env = pm.offline_env(work, "extended-bench", nb.closed_port())
    log = os.path.join(work, "step.log")
    common = [lyrane, "--vtt", vtt, "--temp-dir", cache, "--dialogue", dialogue, "--mix-with",
              film]
    plain_out = os.path.join(work, "plain.mp4")
    plain = pm.timed("--mix-with (plain)", common + ["--output", plain_out], env, plain_out, log)
    extended_out = os.path.join(work, "extended.mp4")
    time_map = os.path.join(work, "time-map.json")
    extended = pm.timed("--mix-with --extended", common + [
        "--extended", "--time-map", time_map, "--output", extended_out], env, extended_out, log)
    with open(time_map, encoding="utf-8") as f:
        mapped = json.load(f)

    print()
    print("%-24s %9s %8s %12s %10s" % ("step", "wall s", "CPU s", "peak RSS MiB", "output MB"))
    for step in (plain, extended):
        print("%-24s %9.2f %8.2f %12.0f %10.1f" % (step.name, step.wall, step.cpu,
                                                    step.peak_kib / 1024,
                                                    os.path.getsize(step.output) / 1e6))
    print()
    expected = (mapped["programme_ms"] + mapped["paused_ms"]) / 1000
    print("pauses: %d, %.1f s in all; output %.3f s against programme plus pauses %.3f s "
          "(%+.0f ms)" % (len(mapped["pauses"]), mapped["paused_ms"] / 1000,
                          duration(extended_out), expected,
                          (duration(extended_out) - expected) * 1000))
    print("--extended: %.2fx the plain run in wall time, %.2fx in CPU time; peak memory %.0f MiB "
          "(target under 200)" % (extended.wall / plain.wall, extended.cpu / plain.cpu,
                                  extended.peak_kib / 1024))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
