#!/usr/bin/env python3
"""Costs of takes and the review page: a fully cached rerun of 1000 cues against a baseline
build (target: within 10%), and the review page of a two-hour, 1500-cue narration (target:
written in under a second, under 2 MB).

Fills the caches from a local lyrane-speechd (--jobs 4). The page's cost is the difference
between a cached run with --review and one without; every cue has a take record for the
cached rerun, so each cue's choice is read.

Usage: bench/takes-review-bench.py [--lyrane PATH] [--baseline PATH] [--speechd PATH] [--runs N]
Defaults: build/lyrane, /work/main/build/lyrane when it exists (else no comparison),
build/lyrane-speechd, 5 runs. Builds nothing.
"""

import argparse
import os
import resource
import shutil
import statistics
import sys

from benchlib import Speechd, check, default_binary, run_lyrane, timestamp, work_dir, write_vtt


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def median_seconds(binary, url, command, work, runs):
    """Median CPU time (user + system) of the runs: steadier than wall time on a shared machine."""
    times = []
    for _ in range(runs):
        before = cpu_seconds()
        _, done = run_lyrane(binary, url, command, work)
        check(done, "cached run")
        if "Generating" in done.stderr:
            sys.exit("bench: the run was not fully cached")
        times.append(cpu_seconds() - before)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    baseline = "/work/main/build/lyrane"
    parser.add_argument("--baseline", default=baseline if os.path.exists(baseline) else None)
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    work = work_dir()
    service = Speechd(args.speechd, os.path.join(work, "speechd.log"))
    try:
        vtt = os.path.join(work, "long.vtt")
        cache = os.path.join(work, "cache")
        write_vtt(vtt, 1000)
        command = ["--vtt", vtt, "--temp-dir", cache, "--no-padding"]
        check(run_lyrane(args.lyrane, service.url, command + ["--jobs", "4"], work)[1], "fill")
        # A second take of every cue, then take 1 chosen again: each cue's record is read.
        check(run_lyrane(args.lyrane, service.url,
                         command + ["--jobs", "4", "--retake", "1-1000"], work)[1], "retake")
        choices = ",".join("%d=1" % n for n in range(1, 1001))
        check(run_lyrane(args.lyrane, service.url, command + ["--take", choices], work)[1],
              "choose")
        mine = median_seconds(args.lyrane, service.url, command, work, args.runs)
        print("cached rerun of 1000 cues with take records: median %.3f s CPU" % mine)
        aside = os.path.join(work, "records")
        os.makedirs(aside)
        records = [name for name in os.listdir(cache) if name.endswith(".take")]
        for name in records:
            os.rename(os.path.join(cache, name), os.path.join(aside, name))
        bare = median_seconds(args.lyrane, service.url, command, work, args.runs)
        print("the same without take records: median %.3f s CPU (records: %+.1f%%)"
              % (bare, (mine / bare - 1) * 100))
        for name in records:
            os.rename(os.path.join(aside, name), os.path.join(cache, name))
        if args.baseline:
            base = median_seconds(args.baseline, service.url, command, work, args.runs)
            print("the same with the baseline build: median %.3f s CPU (%+.1f%%)"
                  % (base, (mine / base - 1) * 100))

        long_vtt = os.path.join(work, "two-hours.vtt")
        with open(long_vtt, "w", encoding="utf-8") as out:
            out.write("WEBVTT\n\n")
            for i in range(1500):
                start = i * 4800
                out.write("%s --> %s\nLine %d of the long narration, said once.\n\n"
                          % (timestamp(start), timestamp(start + 4000), i + 1))
        cache2 = os.path.join(work, "cache2")
        long_command = ["--vtt", long_vtt, "--temp-dir", cache2, "--output",
                        os.path.join(work, "long.wav")]
        check(run_lyrane(args.lyrane, service.url, long_command + ["--jobs", "4"], work)[1],
              "fill two hours")
        page = os.path.join(work, "review.html")
        without = median_seconds(args.lyrane, service.url, long_command, work, args.runs)
        with_page = median_seconds(args.lyrane, service.url, long_command + ["--review", page],
                                   work, args.runs)
        print("two hours, 1500 cues, cached, CPU: %.3f s without --review, %.3f s with (page: %.3f s,"
              " %.2f MB)" % (without, with_page, with_page - without,
                             os.path.getsize(page) / 1e6))
        dry_plain = median_seconds(args.lyrane, service.url, long_command + ["--dry-run"], work,
                                   args.runs)
        dry = median_seconds(args.lyrane, service.url,
                             long_command + ["--dry-run", "--review", page], work, args.runs)
        print("dry run, CPU: %.3f s without --review, %.3f s with (page: %.3f s, %.2f MB)"
              % (dry_plain, dry, dry - dry_plain, os.path.getsize(page) / 1e6))
    finally:
        service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
