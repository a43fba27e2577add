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
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir))

WORDS = ("the quick brown fox jumps over a lazy dog while seven wizards "
         "quietly box jugs of liquor near the old harbour").split()


def default_binary(name):
    return os.path.join(SOURCE_DIR, "build", name)


def timestamp(ms):
    hours, ms = divmod(ms, 3600000)
    minutes, ms = divmod(ms, 60000)
    seconds, ms = divmod(ms, 1000)
    return "%02d:%02d:%02d.%03d" % (hours, minutes, seconds, ms)


def write_vtt(path, count):
    """`count` cues of 2.5 s every 3 s; every text is different, so every clip is its own."""
    blocks = ["WEBVTT"]
    for i in range(count):
        words = " ".join(WORDS[(i * 7 + k) % len(WORDS)] for k in range(3 + i % 4))
        blocks.append("%s --> %s\nLine %d, %s." % (timestamp(i * 3000),
                                                 timestamp(i * 3000 + 2500), i + 1, words))
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n\n".join(blocks) + "\n")


class Speechd:
    """lyrane-speechd on a free port; its request log goes to a file."""

    def __init__(self, binary, log_path, *options):
        if not os.access(binary, os.X_OK):
            sys.exit("bench: no executable at %s" % binary)
        self.log_path = log_path
        self._log = open(log_path, "w")
        self.process = subprocess.Popen([binary, "--port", "0"] + list(options),
                                        stdout=subprocess.PIPE, stderr=self._log, text=True)
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http"):
            self.stop()
            sys.exit("bench: lyrane-speechd did not start (see %s)" % log_path)

    def request_count(self):
        self._log.flush()
        with open(self.log_path) as log:
            return sum(1 for line in log if line.startswith("POST "))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()


def run_lyrane(binary, url, args, home):
    """Runs lyrane once; returns (seconds, CompletedProcess)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET")}
    env.update({"LYRANE_API_URL": url, "ELEVENLABS_API_KEY": "bench-key", "HOME": home,
                "LC_ALL": "C.UTF-8"})
    started = time.monotonic()
    done = subprocess.run([binary] + args, env=env, capture_output=True, text=True)
    return time.monotonic() - started, done


def check(done, what):
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit("bench: %s failed with status %d" % (what, done.returncode))


def read_dir(path):
    contents = {}
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as data:
            contents[name] = data.read()
    return contents


def work_dir():
    return tempfile.mkdtemp(prefix="lyrane-bench-")



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
