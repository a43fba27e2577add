#!/usr/bin/env python3
"""Kills patched WAV or MP3 writes with SIGKILL at random moments and checks that only whole
outputs are ever left: the old output, or a journal that the next run turns into the new one.

Each round changes some cached clips in place (new samples, some longer, so later clips are
pushed), renders the changed narration whole into a reference file, starts a run that patches
the output and kills it (kill -9) at a random moment after its line "Mixing audio segments...",
within a share (--window) of the time the reference took from that line on: a patch is quicker
than a full write. Then, before anything else runs: without a
journal beside it the output must be byte for byte the old or the new one. Then the same
command runs again, and the output must equal the reference, with no journal left.

With --mp3 the output is an MP3, whose patch is not the bytes of a full encode: a new output is
one the next run leaves as it is ("Rewrote 0"), and the output after the next run must decode
(nothing on ffmpeg's error stream) to the reference's length and within the codec's noise of
the reference's samples (RMS of the difference under 100 steps).

Usage: bench/patch-kill-campaign.py [--lyrane BIN] [--rounds 20] [--cues 300] [--minutes 40]
       [--window 0.35] [--seed N] [--mp3] [--work DIR]
Builds nothing. Needs about 1 GB in $TMPDIR.
"""

import argparse
import array
import importlib.machinery
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
mb = importlib.machinery.SourceFileLoader("modes_bench",
                                         os.path.join(HERE, "modes-bench.py")).load_module()
from benchlib import default_binary  # noqa: E402


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


def change_clip(path, rng):
    """New samples for a cached clip, under the same name: quieter, and one time in three a
    second of tone longer."""
    with wave.open(path) as clip:
        rate = clip.getframerate()
        samples = array.array("h", clip.readframes(clip.getnframes()))
    factor = rng.uniform(0.4, 0.95)
    changed = array.array("h", (int(v * factor) for v in samples))
    if rng.random() < 1 / 3:
        changed.extend(array.array("h", (int(8000 * ((k // 40) % 2 * 2 - 1))
                                          for k in range(rate))))
    mb.nb.write_wav(path, changed)


def decoded(path):
    """ffmpeg's samples of `path`; None when it says anything on its error stream."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-"],
                          capture_output=True)
    return array.array("h", done.stdout) if done.returncode == 0 and not done.stderr else None


def sounds_alike(path, reference):
    """An MP3 against a full encode of the same timeline: the same length, the codec's noise."""
    got = decoded(path)
    if got is None or len(got) != len(reference):
        return False
    total = sum((a - b) * (a - b) for a, b in zip(got, reference))
    return (total / max(1, len(got))) ** 0.5 < 100


def run(argv, env):
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("patch-kill-campaign: %s failed:\n%s" % (" ".join(argv), done.stderr[-3000:]))
    return done


def timed_from_mixing(argv, env):
    """Runs argv; returns the seconds from its mixing line to its end."""
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
    begin = None
    for line in child.stderr:
        if begin is None and line.startswith("Mixing audio segments"):
            begin = time.perf_counter()
    if child.wait() != 0 or begin is None:
        sys.exit("patch-kill-campaign: %s failed" % " ".join(argv))
    return time.perf_counter() - begin


def killed_run(argv, env, delay):
    """Starts argv, kills it `delay` seconds after it says it mixes; returns whether it was
    still running then (else it finished first)."""
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
    for line in child.stderr:
        if line.startswith("Mixing audio segments"):
            break
    time.sleep(delay)
    alive = child.poll() is None
    if alive:
        child.send_signal(signal.SIGKILL)
    child.communicate()
    return alive


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--cues", type=int, default=300)
    parser.add_argument("--minutes", type=int, default=40)
    parser.add_argument("--window", type=float, default=0.35)
    parser.add_argument("--seed", type=int, default=20)
    parser.add_argument("--mp3", action="store_true")
    parser.add_argument("--work")
    args = parser.parse_args()
    owned = args.work is None
    work = tempfile.mkdtemp(prefix="lyrane-kill.") if owned else os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    try:
        campaign(args, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def campaign(args, work):
    rng = random.Random(args.seed)
    vtt, cache, clips, _ = mb.build_clips(work, args.cues, args.minutes * 60, 0)
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_FORMAT")}
    env.update({"LYRANE_API_URL": "http://127.0.0.1:%d" % mb.nb.closed_port(),
                "ELEVENLABS_API_KEY": "kill-campaign", "HOME": work, "LC_ALL": "C.UTF-8"})
    ext = "mp3" if args.mp3 else "wav"
    out = os.path.join(work, "out." + ext)
    reference = os.path.join(work, "reference." + ext)
    journal = os.path.join(work, ".out.%s.journal" % ext)
    command = [args.lyrane, "--vtt", vtt, "--temp-dir", cache, "--padding", "60s"]
    run(command + ["--output", out], env)

    tally = {"finished before the kill": 0, "old output, no journal": 0,
             "new output, no journal": 0, "journal left, replayed": 0}
    for round_number in range(args.rounds):
        old = read_bytes(out)
        for path in rng.sample(clips, rng.randint(1, len(clips) // 4)):
            change_clip(path, rng)
        if os.path.exists(reference):
            os.remove(reference)
        # A full write's time from its mixing line on bounds the moment of the kill.
        span = timed_from_mixing(command + ["--output", reference], env)
        new = read_bytes(reference)
        heard = decoded(reference) if args.mp3 else None

        delay = rng.uniform(0, span * args.window)
        finished = not killed_run(command + ["--output", out], env, delay)
        left = read_bytes(out)
        if finished:
            outcome = "finished before the kill"
        elif os.path.exists(journal):
            outcome = "journal left, replayed"
        elif left == old:
            outcome = "old output, no journal"
        elif left == new or args.mp3:
            outcome = "new output, no journal"
        else:
            sys.exit("patch-kill-campaign: round %d left a mixed output without a journal" %
                     (round_number + 1))
        tally[outcome] += 1
        again = run(command + ["--output", out], env)
        if args.mp3 and outcome == "new output, no journal" and read_bytes(out) != left:
            sys.exit("patch-kill-campaign: round %d left an MP3 the next run did not take as "
                     "finished" % (round_number + 1))
        finished_right = sounds_alike(out, heard) if args.mp3 else read_bytes(out) == new
        if not finished_right or os.path.exists(journal):
            sys.exit("patch-kill-campaign: round %d: the next run did not finish the output" %
                     (round_number + 1))
        said = [line for line in again.stderr.splitlines() if line.startswith("Rewrote ")]
        print("round %2d: killed %.3f s after mixing began (a full write takes %.3f s): %s; "
              "the next run: %s" % (round_number + 1, delay, span, outcome,
                                    said[0] if said else "written whole"))
    print("%d rounds, every output whole:" % args.rounds)
    for what, count in tally.items():
        print("  %-28s %d" % (what, count))


if __name__ == "__main__":
    main()
