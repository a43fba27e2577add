"""Helpers shared by the benchmarks that drive lyrane against a local lyrane-speechd."""

import os
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
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_FORMAT")}
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


def read_dir(path):
    contents = {}
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as data:
            contents[name] = data.read()
    return contents
