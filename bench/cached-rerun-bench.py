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


def work_dir():
    return tempfile.mkdtemp(prefix="lyrane-bench-")




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
