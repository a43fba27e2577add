#!/usr/bin/env python3
"""Times a fully cached rerun of a long subtitle file (target: well under 2 s for 1000 cues).

Fills the cache once from a local lyrane-speechd (--no-padding --jobs 4), then reruns the same
command several times and checks that no request was made.

Usage: bench/cached-rerun-bench.py [--lyrane PATH] [--speechd PATH] [--cues N] [--runs N]
Defaults: build/lyrane, build/lyrane-speechd, 1000 cues, 5 runs. Builds nothing.
"""

import argparse
import os
import shutil
import statistics
import sys

from benchlib import Speechd, check, default_binary, run_lyrane, work_dir, write_vtt


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
        cache = os.path.join(work, "cache")
        write_vtt(vtt, args.cues)
        command = ["--vtt", vtt, "--temp-dir", cache, "--no-padding"]

        seconds, done = run_lyrane(args.lyrane, service.url, command + ["--jobs", "4"], work)
        check(done, "warm-up run")
        made = service.request_count()
        print("warm-up: %d cues, %d requests, %.2f s (--jobs 4)" % (args.cues, made, seconds))
        if len(os.listdir(cache)) != args.cues:
            sys.exit("bench: the cache holds %d files, expected %d"
                     % (len(os.listdir(cache)), args.cues))

        for jobs in ("1", "4"):
            times = []
            for _ in range(args.runs):
                seconds, done = run_lyrane(args.lyrane, service.url,
                                           command + ["--jobs", jobs], work)
                check(done, "cached rerun")
                hits = done.stderr.count(" found in cache: ")
                if "Generating" in done.stderr or hits != args.cues:
                    sys.exit("bench: the rerun was not fully cached (%d hits)" % hits)
                times.append(seconds)
            if service.request_count() != made:
                sys.exit("bench: the cached reruns made %d requests"
                         % (service.request_count() - made))
            print("cached rerun, --jobs %s: median %.3f s, min %.3f s, max %.3f s over %d runs"
                  % (jobs, statistics.median(times), min(times), max(times), args.runs))
        print("requests during the reruns: 0")
    finally:
        service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
