#!/usr/bin/env python3
"""Word timing's cost: a fully cached run with --word-timing beside one without (target: within
10%), and the requests --join-sentences saves on a subtitle file of two-line sentences.

Fills the cache once with --word-timing from a local lyrane-speechd, then times cached reruns
of both kinds in turn and checks that no request was made; then prices examples/harbour.vtt
with and without --join-sentences (dry runs, nothing sent).

Usage: bench/word-timing-bench.py [--lyrane PATH] [--speechd PATH] [--cues N] [--runs N]
Defaults: build/lyrane, build/lyrane-speechd, 1000 cues, 5 runs. Builds nothing.
"""

import argparse
import os
import re
import shutil
import statistics
import sys

from benchlib import SOURCE_DIR, Speechd, check, default_binary, run_lyrane, work_dir, write_vtt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--cues", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    work = work_dir()
    service = Speechd(args.speechd, os.path.join(work, "speechd.log"))
    try:
        vtt = os.path.join(work, "long.vtt")
        write_vtt(vtt, args.cues)
        command = ["--vtt", vtt, "--temp-dir", os.path.join(work, "cache"), "--format",
                   "pcm_22050", "--autopad", "--output", os.path.join(work, "out.wav")]
        seconds, done = run_lyrane(args.lyrane, service.url,
                                   command + ["--word-timing", "--jobs", "4"], work)
        check(done, "warm-up run")
        made = service.request_count()
        print("warm-up: %d cues, %d requests, %.2f s" % (args.cues, made, seconds))
        times = {"without": [], "with --word-timing": []}
        for _ in range(args.runs):
            for name, extra in (("without", []), ("with --word-timing", ["--word-timing"])):
                seconds, done = run_lyrane(args.lyrane, service.url, command + extra, work)
                check(done, "cached run " + name)
                times[name].append(seconds)
        if service.request_count() != made:
            sys.exit("bench: the cached runs made %d requests" % (service.request_count() - made))
        for name, values in times.items():
            print("cached run %s: median %.3f s, min %.3f s over %d runs"
                  % (name, statistics.median(values), min(values), args.runs))
        ratio = statistics.median(times["with --word-timing"]) / statistics.median(times["without"])
        print("with --word-timing / without: %.3f (target at most 1.10)" % ratio)

        harbour = os.path.join(SOURCE_DIR, "examples", "harbour.vtt")
        for extra in ([], ["--join-sentences"]):
            _, done = run_lyrane(args.lyrane, service.url,
                                 ["--vtt", harbour, "--dry-run", "--temp-dir",
                                  os.path.join(work, "empty")] + extra, work)
            check(done, "dry run")
            joined = re.search(r"(\d+) cues in (\d+) requests", done.stdout)
            requests = joined.group(2) if joined else "one per cue"
            print("examples/harbour.vtt %s: %s requests; %s"
                  % (" ".join(extra) or "as cut", requests, done.stderr.strip().splitlines()[-1]))
    finally:
        service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
