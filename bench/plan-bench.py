#!/usr/bin/env python3
"""Times 100 uncached cues with --jobs 16 against lyrane-speechd playing a Creator account.

The service answers after 300 ms (--latency 300) and allows 5 requests in flight (--plan
creator), so the best a client can do is cues x 0.3 s / 5 (6 s for 100 cues); the target is
within 1.3 times that. lyrane starts 16 requests, learns the plan's limit from the service's
answers and keeps 5 in flight. The format is pcm_24000, which every plan allows.

Usage: bench/plan-bench.py [--lyrane PATH] [--speechd PATH] [--cues N]
Defaults: build/lyrane, build/lyrane-speechd, 100 cues. Builds nothing.
"""

import argparse
import os
import re
import shutil
import sys

from benchlib import Speechd, check, default_binary, run_lyrane, work_dir, write_vtt

LATENCY_S = 0.3
PLAN_LIMIT = 5


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--cues", type=int, default=100)
    args = parser.parse_args()

    work = work_dir()
    service = None
    try:
        vtt = os.path.join(work, "talk.vtt")
        write_vtt(vtt, args.cues)
        service = Speechd(args.speechd, os.path.join(work, "speechd.log"), "--plan", "creator",
                          "--latency", str(int(LATENCY_S * 1000)))
        cache = os.path.join(work, "cache")
        seconds, done = run_lyrane(args.lyrane, service.url,
                                   ["--vtt", vtt, "--temp-dir", cache, "--no-padding",
                                    "--format", "pcm_24000", "--jobs", "16"], work)
        check(done, "--jobs 16 run")
        if done.stderr.count("Created segment ") != args.cues:
            sys.exit("bench: not every segment was created")
        ideal = args.cues * LATENCY_S / PLAN_LIMIT
        lowered = re.findall(r"now (\d+) in flight", done.stderr)
        print("--jobs 16 against --plan creator --latency %d: %.2f s, ideal %.2f s, %.2fx "
              "(target <= 1.3x: %s)" % (LATENCY_S * 1000, seconds, ideal, seconds / ideal,
                                        "met" if seconds <= 1.3 * ideal else "MISSED"))
        print("window lowered to: %s; requests sent %d for %d cues, %d retries"
              % (", ".join(lowered) or "never", service.request_count(), args.cues,
                 done.stderr.count("Retrying segment ")))
    finally:
        if service:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
