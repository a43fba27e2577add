#!/usr/bin/env python3
"""Times narration over a programme: a generated two-hour test video (160x120, one frame a
second, a stereo tone in AAC) narrated from a warm cache of 1500 clips into an MP4, beside
ffmpeg doing the mixing half of the same job with a filter graph (sidechaincompress ducking,
amix, -c:v copy) from the narration already rendered to WAV; and the same lyrane run with
--loudness -16 on the mix (a measuring pass, then the writing pass). Prints wall time and peak
resident memory of each. Run by hand; builds nothing.

Usage: bench/programme-mix-bench.py [LYRANE_BINARY] [--work DIR] [--duration SECONDS]
"""

import argparse
import importlib.machinery
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def narration_bench():
    """The fixture and timing helpers of narration-bench.py (a file name with a hyphen)."""
    path = os.path.join(HERE, "narration-bench.py")
    return importlib.machinery.SourceFileLoader("narration_bench", path).load_module()


class Step:
    def __init__(self, name, wall, cpu, peak_kib, output):
        self.name, self.wall, self.cpu, self.peak_kib, self.output = name, wall, cpu, peak_kib, output


def timed(name, argv, env, output, log):
    """Runs argv; wall time, the child's CPU time (user + system) and its peak RSS. CPU time
    says more than wall time on a machine that other work shares."""
    with open(log, "wb") as err:
        begin = time.perf_counter()
        child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - begin
    if os.waitstatus_to_exitcode(status) != 0:
        with open(log, "rb") as err:
            sys.exit("programme-mix-bench: %s failed:\n%s" %
                     (name, err.read()[-4000:].decode("utf-8", "replace")))
    return Step(name, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, output)


def make_programme(path, seconds):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc=size=160x120:rate=1:duration=%d" % seconds,
                    "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000:duration=%d" % seconds,
                    "-ac", "2", "-c:v", "mpeg4", "-g", "60", "-c:a", "aac", "-b:a", "128k",
                    "-shortest", path], check=True)


def streams(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "stream=codec_type,codec_name,duration", "-of", "json", path],
                            capture_output=True, text=True, check=True)
    return [(s["codec_type"], s["codec_name"], float(s.get("duration", "nan")))
            for s in json.loads(result.stdout)["streams"]]


def run_main(doc, name, prefix, size, bench):
    """The command line of the two-hour programme benchmarks: the binary, a work directory
    (a new one in $TMPDIR, removed afterwards, when none is given), the programme's length and
    the clips; then bench(args, lyrane, work)."""
    parser = argparse.ArgumentParser(description=doc)
    parser.add_argument("lyrane", nargs="?", default=os.path.join(HERE, "..", "build", "lyrane"))
    parser.add_argument("--work", help="directory for the fixture and outputs (default: a new "
                        "directory in $TMPDIR, removed afterwards; about %s)" % size)
    parser.add_argument("--duration", type=int, default=7200, help="programme seconds")
    parser.add_argument("--cues", type=int, default=1500)
    args = parser.parse_args()
    lyrane = os.path.abspath(args.lyrane)
    if not os.access(lyrane, os.X_OK):
        sys.exit("%s: no executable at %s" % (name, args.lyrane))
    owned = args.work is None
    work = tempfile.mkdtemp(prefix=prefix) if owned else os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        return bench(args, lyrane, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def offline_env(work, key, port):
    """The environment of a benchmark's lyrane runs: no service (a closed port), the cache and
    temporary files under `work`."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET")}
    env.update({"LYRANE_API_URL": "http://127.0.0.1:%d" % port, "ELEVENLABS_API_KEY": key,
                "HOME": work, "TMPDIR": work, "LC_ALL": "C.UTF-8"})
    return env


def main():
    return run_main(__doc__, "programme-mix-bench", "lyrane-programme.", "3 GB", bench)


def bench(args, lyrane, work):
    nb = narration_bench()
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    begin = time.perf_counter()
    # The narration ends a little before the programme, so the timeline is the programme's.
    vtt, cache, _, _, _ = nb.build_fixture(work, args.cues, args.duration - 10)
    film = os.path.join(work, "film.mp4")
    make_programme(film, args.duration)
    print("fixture: %d cached clips, a %d s programme (%.1f MB), made in %.1f s" %
          (args.cues, args.duration, os.path.getsize(film) / 1e6, time.perf_counter() - begin))

    env = offline_env(work, "programme-mix-bench", nb.closed_port())
    log = os.path.join(work, "step.log")

    narration = os.path.join(work, "narration.wav")
    render = timed("lyrane narration alone (WAV)",
                      [lyrane, "--vtt", vtt, "--temp-dir", cache, "--output", narration],
                      env, narration, log)
    out_lyrane = os.path.join(work, "lyrane.mp4")
    mixed = timed("lyrane --mix-with to MP4",
                     [lyrane, "--vtt", vtt, "--temp-dir", cache, "--mix-with", film,
                      "--output", out_lyrane], env, out_lyrane, log)
    with open(log, encoding="utf-8", errors="replace") as text:
        if "Generating audio" in text.read():
            sys.exit("programme-mix-bench: the run did not use the cache as planned")
    out_loud = os.path.join(work, "lyrane-loudness.mp4")
    loud = timed("lyrane --mix-with --loudness -16",
                 [lyrane, "--vtt", vtt, "--temp-dir", cache, "--mix-with", film,
                  "--loudness", "-16", "--output", out_loud], env, out_loud, log)
    with open(log, encoding="utf-8", errors="replace") as text:
        loudness = [line.strip() for line in text if line.startswith("Loudness:")]
    out_ffmpeg = os.path.join(work, "ffmpeg.mp4")
    graph = ("[1:a]aresample=48000,pan=stereo|c0=c0|c1=c0,asplit[key][voice];"
             "[0:a][key]sidechaincompress=threshold=0.01:ratio=20:attack=150:release=400[ducked];"
             "[ducked][voice]amix=inputs=2:normalize=0[mix]")
    ffmpeg = timed("ffmpeg -filter_complex to MP4",
                      ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", film, "-i", narration,
                       "-filter_complex", graph, "-map", "0:v", "-map", "[mix]", "-c:v", "copy",
                       "-c:a", "aac", "-b:a", "192k", out_ffmpeg], env, out_ffmpeg, log)

    print()
    print("%-32s %9s %8s %12s %10s %10s" % ("step", "wall s", "CPU s", "peak RSS MiB",
                                             "realtime x", "output MB"))
    for step in (render, mixed, loud, ffmpeg):
        print("%-32s %9.2f %8.2f %12.0f %10.0f %10.1f" % (
            step.name, step.wall, step.cpu, step.peak_kib / 1024, args.duration / step.wall,
            os.path.getsize(step.output) / 1e6))
    print()
    print("streams: lyrane %s" % streams(out_lyrane))
    print("         ffmpeg %s" % streams(out_ffmpeg))
    print("lyrane's whole run: %.2fx ffmpeg's mixing alone in wall time (target at most 1.5), "
          "%.2fx in CPU time; %.2fx ffmpeg plus the narration render it needs (wall)" %
          (mixed.wall / ffmpeg.wall, mixed.cpu / ffmpeg.cpu,
           mixed.wall / (ffmpeg.wall + render.wall)))
    print("lyrane's peak memory: %.0f MiB (target under 200)" % (mixed.peak_kib / 1024))
    print("with --loudness -16: %.2fx the run without it in wall time, %.2fx in CPU time, "
          "%.0f MiB peak; %s" % (loud.wall / mixed.wall, loud.cpu / mixed.cpu,
                                 loud.peak_kib / 1024, loudness[-1] if loudness else "no line"))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
