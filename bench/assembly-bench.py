#!/usr/bin/env python3
"""The timeline assembly on the two-hour, 1,500-cue corpus of modes-bench.py (every clip cached,
no request): CPU time of a whole WAV run against a baseline build, run by run interleaved, and
the editing loop, where a run after a take change rewrites only the spans that changed.

  cpu      each build writes a fresh WAV output RUNS times, alternating; user and system CPU
           (median and least) and wall time; the outputs must be byte-identical
  autospeed  the same with --autospeed on a corpus where every tenth clip is too long for its
           slot (stretched): slow, off unless named
  retake   one cue is retaken through a local lyrane-speechd (its clip then in the cache), then
           `--take K=1` and `--take K=2` alternate: each run's wall and CPU time, and the
           write's share (from the line before the write to the line after it, as they reach
           standard error); every patched output is compared with a full render of the same
           choices into another file

           (--mp3: an MP3 output, compared once decoded)

Usage: bench/assembly-bench.py [--lyrane BIN] [--baseline BIN ...] [--speechd BIN] [--runs N]
       [--steps cpu,retake] [--mp3] [--work DIR]
Compare CPU time, not wall time: the machine is shared. Builds nothing.
"""

import argparse
import importlib.machinery
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
mb = importlib.machinery.SourceFileLoader("modes_bench",
                                         os.path.join(HERE, "modes-bench.py")).load_module()
from benchlib import Speechd, default_binary  # noqa: E402

STEPS = ("cpu", "autospeed", "retake")


class Run:
    def __init__(self, wall, user, system, lines):
        self.wall = wall
        self.user = user
        self.system = system
        self.lines = lines  # (seconds since start, text) of each standard error line


def run(argv, env):
    """Runs argv with standard error read line by line as it comes, each line stamped."""
    begin = time.perf_counter()
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines = []
    for raw in child.stderr:
        lines.append((time.perf_counter() - begin, raw.decode("utf-8", "replace")))
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - begin
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit("assembly-bench: %s failed with status %d:\n%s" %
                 (" ".join(argv), code, "".join(text for _, text in lines[-30:])))
    return Run(wall, usage.ru_utime, usage.ru_stime, lines)


def side_files(path):
    """The output and what lives beside it for the next run (record, journal)."""
    folder, name = os.path.split(path)
    return [path] + [os.path.join(folder, "." + name + suffix) for suffix in (".render",
                                                                              ".journal")]


def remove_output(path):
    for side in side_files(path):
        if os.path.exists(side):
            os.remove(side)


def same_bytes(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p = x.read(1 << 20)
            q = y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


def summary(name, runs):
    users = [r.user for r in runs]
    return ("%-10s user CPU median %.3f s (least %.3f), system %.3f s, wall median %.2f s, "
            "%d runs" % (name, statistics.median(users), min(users),
                         statistics.median([r.system for r in runs]),
                         statistics.median([r.wall for r in runs]), len(runs)))


def cpu_step(args, env, work, vtt, cache, extra, label):
    builds = [("current", args.lyrane)]
    builds += [("baseline %d" % (k + 1) if len(args.baseline) > 1 else "baseline", path)
               for k, path in enumerate(args.baseline)]
    results = {name: [] for name, _ in builds}
    outputs = {}
    for r in range(args.runs):
        # Alternate which build goes first, so neither always meets a warmer machine.
        for name, binary in builds if r % 2 == 0 else list(reversed(builds)):
            out = os.path.join(work, "%s-%s.wav" % (label, name.replace(" ", "")))
            remove_output(out)
            results[name].append(run([binary, "--vtt", vtt, "--temp-dir", cache, "--output",
                                      out] + extra, env))
            outputs[name] = out
    print("%s, %d cues, full WAV writes:" % (label, args.cues))
    for name, binary in builds:
        print("  " + summary(name, results[name]) + ("" if name == "current" else " (%s)" % binary))
    current = statistics.median([x.user for x in results["current"]])
    for name, _ in builds[1:]:
        base = statistics.median([x.user for x in results[name]])
        print("  current / %s user CPU: %.2fx (medians); outputs byte-identical: %s" %
              (name, current / base, same_bytes(outputs["current"], outputs[name])))


def retake_step(args, env, work, vtt, cache):
    service = Speechd(args.speechd, os.path.join(work, "speechd.log"))
    try:
        env = dict(env, LYRANE_API_URL=service.url)
        ext = "mp3" if args.mp3 else "wav"
        out = os.path.join(work, "edited." + ext)
        fresh = os.path.join(work, "fresh." + ext)
        remove_output(out)
        base = [args.lyrane, "--vtt", vtt, "--temp-dir", cache]
        run(base + ["--output", out], env)
        cue = args.cues // 2
        begin = time.perf_counter()
        first = run(base + ["--output", out, "--retake", str(cue)], env)
        print("retake of cue %d (one request to lyrane-speechd, then the patch): %.2f s wall" %
              (cue, time.perf_counter() - begin))
        print("  " + patch_line(first))
        rows = []
        for r in range(args.runs):
            choice = ["--take", "%d=%d" % (cue, 1 + r % 2)]
            done = run(base + ["--output", out] + choice, env)
            rows.append((done, write_share(done)))
            remove_output(fresh)
            run(base + ["--output", fresh] + choice, env)
            if not (same_decoding(out, fresh) if args.mp3 else same_bytes(out, fresh)):
                sys.exit("assembly-bench: the patched output differs from a full render")
        print("take changes on the patched output (clip in the cache), %d runs:" % len(rows))
        print("  " + patch_line(rows[-1][0]))
        for done, share in rows:
            print("  wall %.3f s, user CPU %.3f s, system %.3f s; the write %.3f s" %
                  (done.wall, done.user, done.system, share))
        print("  median wall %.3f s, median write %.3f s; every patched output equals a full "
              "render%s" % (statistics.median([d.wall for d, _ in rows]),
                          statistics.median([s for _, s in rows]),
                          " once decoded" if args.mp3 else ""))
        # The corpus plays take 1 again, as a build without takes would.
        run(base + ["--output", out, "--take", "%d=1" % cue], env)
    finally:
        service.stop()


def decoded(path):
    """The samples ffmpeg decodes, failing on anything it says."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-"],
                            capture_output=True)
    if result.returncode != 0 or result.stderr:
        sys.exit("assembly-bench: ffmpeg could not decode %s: %s" % (path, result.stderr))
    return result.stdout


def same_decoding(patched, fresh):
    """An MP3 patch keeps the frames around it, so it equals a full encode only once decoded,
    and there to the codec's noise: the same length, every sample within a few steps."""
    a, b = decoded(patched), decoded(fresh)
    if len(a) != len(b):
        return False
    import array
    x, y = array.array("h", a), array.array("h", b)
    worst = max(abs(p - q) for p, q in zip(x, y))
    print("  decoded: %d samples, largest difference from a full encode %d steps" %
          (len(x), worst))
    return worst <= 2048


def patch_line(done):
    for _, text in done.lines:
        if text.startswith("Rewrote "):
            return text.strip()
    sys.exit("assembly-bench: the run did not patch its output:\n" +
             "".join(t for _, t in done.lines[-20:]))


def write_share(done):
    """From the line before the write to the line that follows it."""
    for k, (stamp, text) in enumerate(done.lines):
        if text.startswith("Rewrote ") and k > 0:
            return stamp - done.lines[k - 1][0]
    return float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--baseline", action="append", default=[],
                        help="an earlier build's lyrane to compare CPU time with (repeatable)")
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--runs", type=int, default=6)
    parser.add_argument("--cues", type=int, default=1500)
    parser.add_argument("--hours", type=float, default=2.0)
    parser.add_argument("--steps", default="cpu,retake")
    parser.add_argument("--mp3", action="store_true", help="the retake step on an MP3 output")
    parser.add_argument("--work", help="directory for the caches and outputs (default: a new "
                        "directory in $TMPDIR, removed afterwards; about 2 GB)")
    args = parser.parse_args()
    steps = [s for s in args.steps.split(",") if s]
    if any(s not in STEPS for s in steps):
        sys.exit("assembly-bench: steps are %s" % ", ".join(STEPS))
    owned = args.work is None
    work = tempfile.mkdtemp(prefix="lyrane-assembly.") if owned else os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        bench(args, steps, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def fixture(work, name, args, long_every):
    folder = os.path.join(work, name)
    if os.path.exists(os.path.join(folder, "narration.vtt")):
        vtt = os.path.join(folder, "narration.vtt")
        cache = os.path.join(folder, "cache")
        clips = [os.path.join(cache, n) for n in os.listdir(cache) if n.endswith(".wav")]
    else:
        os.makedirs(folder, exist_ok=True)
        vtt, cache, clips, _ = mb.build_clips(folder, args.cues, int(args.hours * 3600),
                                              long_every)
    mb.warm(clips)
    return vtt, cache


def bench(args, steps, work):
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_FORMAT")}
    env.update({"LYRANE_API_URL": "http://127.0.0.1:%d" % mb.nb.closed_port(),
                "ELEVENLABS_API_KEY": "assembly-bench", "HOME": work, "LC_ALL": "C.UTF-8"})
    if "cpu" in steps or "retake" in steps:
        vtt, cache = fixture(work, "plain", args, 0)
        if "cpu" in steps:
            cpu_step(args, env, work, vtt, cache, [], "WAV")
        if "retake" in steps:
            retake_step(args, env, work, vtt, cache)
    if "autospeed" in steps:
        vtt, cache = fixture(work, "stretched", args, 10)
        cpu_step(args, env, work, vtt, cache, ["--autospeed"], "autospeed")
    print("load after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
