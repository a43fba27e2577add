#!/usr/bin/env python3
"""Times uncached runs with --jobs 1, 4 and 8 against a slow local lyrane-speechd.

The service answers after 500 ms (--latency 500). --jobs 4 should take at most 1.2 times
cues x 0.5 s / 4 (6 s for 40 cues). --jobs 8 runs against a service that refuses more than 4
requests at once (--max-concurrent 4) with --retries 5, and must still get every clip right:
its cache files are compared byte for byte with those of the --jobs 1 run.

Usage: bench/jobs-bench.py [--lyrane PATH] [--speechd PATH] [--cues N]
Defaults: build/lyrane, build/lyrane-speechd, 40 cues. Builds nothing.
"""

import argparse
import os
import shutil
import sys

from benchlib import Speechd, check, default_binary, read_dir, run_lyrane, work_dir, write_vtt


LATENCY_S = 0.5


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--cues", type=int, default=40)
    args = parser.parse_args()

    work = work_dir()
    services = []
    try:
        vtt = os.path.join(work, "talk.vtt")
        write_vtt(vtt, args.cues)
        slow = Speechd(args.speechd, os.path.join(work, "slow.log"), "--latency", "500")
        services.append(slow)
        limited = Speechd(args.speechd, os.path.join(work, "limited.log"), "--latency", "500",
                          "--max-concurrent", "4")
        services.append(limited)

        def timed(service, jobs, *extra):
            cache = os.path.join(work, "cache-j%s" % jobs)
            command = ["--vtt", vtt, "--temp-dir", cache, "--no-padding", "--jobs", jobs]
            seconds, done = run_lyrane(args.lyrane, service.url, command + list(extra), work)
            check(done, "--jobs %s run" % jobs)
            if done.stderr.count("Created segment ") != args.cues:
                sys.exit("bench: --jobs %s did not create every segment" % jobs)
            return seconds, cache, done

        serial_s, serial_cache, _ = timed(slow, "1")
        print("--jobs 1: %.2f s (%d cues, %.0f ms latency each)"
              % (serial_s, args.cues, LATENCY_S * 1000))

        parallel_s, parallel_cache, _ = timed(slow, "4")
        bound = 1.2 * args.cues * LATENCY_S / 4
        print("--jobs 4: %.2f s (target <= %.2f s: %s)"
              % (parallel_s, bound, "met" if parallel_s <= bound else "MISSED"))

        limited_s, limited_cache, done = timed(limited, "8", "--retries", "5")
        retried = done.stderr.count("Retrying segment ")
        refused = limited.request_count() - args.cues
        print("--jobs 8 against --max-concurrent 4 with --retries 5: %.2f s "
              "(%d retries, %d refused requests)" % (limited_s, retried, refused))

        reference = read_dir(serial_cache)
        mismatches = 0
        for name, cache in (("--jobs 4", parallel_cache), ("--jobs 8", limited_cache)):
            files = read_dir(cache)
            same = files == reference
            mismatches += not same
            print("%s cache files equal to --jobs 1, byte for byte: %s (%d files)"
                  % (name, "yes" if same else "NO", len(files)))
    finally:
        for service in services:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
