"""Runs stopped by SIGINT or SIGTERM: what they end, what they keep, and how a rerun resumes."""

import os
import re
import signal
import subprocess
import threading
import time
import unittest

from s3_support import fake_aws_env, read_fake_log
from support import (DEFAULT_VOICE_ID, FakeService, LyraneTestCase, cache_key, lyrane_bin,
                     read_wav, speechd_bin, write_vtt, write_wav)

CLIP_NAME = re.compile(r"^[0-9a-f]{32}\.wav$")
INTERRUPTED = re.compile(r"^Interrupted: (\d+) of (\d+) clips are in the cache; "
                         r"run the same command again to resume\.$")
CLEARED = ("ELEVENLABS_API_KEY", "LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_API_URL")


class Speechd:
    """A running lyrane-speechd; `url` is the base URL from its first output line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([speechd_bin(), *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url:
            self.proc.kill()
            raise RuntimeError("lyrane-speechd did not start")

    def stop(self):
        self.proc.stdout.close()
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class InterruptCase(LyraneTestCase):
    def child_env(self, extra):
        env = {k: v for k, v in os.environ.items() if k not in CLEARED}
        os.makedirs(os.path.join(self.home, "tmp"), exist_ok=True)
        env.update({"HOME": self.home, "TMPDIR": os.path.join(self.home, "tmp"),
                    "LC_ALL": "C.UTF-8", "ELEVENLABS_API_KEY": "test-key"})
        env.update(extra)
        return env

    def start(self, args, env):
        return subprocess.Popen([lyrane_bin()] + args, env=self.child_env(env), cwd=self.tmp,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def read_until(self, proc, predicate, timeout=60):
        """Reads standard error line by line until `predicate(lines)` holds."""
        lines = []
        deadline = time.monotonic() + timeout
        while not predicate(lines):
            self.assertLess(time.monotonic(), deadline, "waited too long:\n" + "".join(lines))
            line = proc.stderr.readline()
            self.assertTrue(line, "the run ended first:\n" + "".join(lines))
            lines.append(line)
        return lines

    def stop_with(self, proc, sig):
        """Sends `sig`; returns (exit status, rest of standard error, seconds until exit)."""
        sent = time.monotonic()
        proc.send_signal(sig)
        try:
            _, rest = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise
        return proc.returncode, rest, time.monotonic() - sent

    def assertOnlyWholeClips(self, cache):
        names = sorted(os.listdir(cache))
        for name in names:
            self.assertRegex(name, CLIP_NAME, "a temporary file stayed behind")
            rate, channels, samples = read_wav(os.path.join(cache, name))
            self.assertEqual((rate, channels), (44100, 1))
            self.assertGreater(len(samples), 0)
        return names


class SubtitleRunInterruptTest(InterruptCase):
    LATENCY_MS = 2500

    def test_a_stop_keeps_what_was_paid_for_and_a_rerun_resumes(self):
        cues = [(i * 3000, i * 3000 + 2500, "Cue number %d is spoken." % i) for i in range(6)]
        vtt = write_vtt(self.path("talk.vtt"), cues)
        speechd = Speechd("--latency", str(self.LATENCY_MS))
        self.addCleanup(speechd.stop)
        env = {"LYRANE_API_URL": speechd.url}
        # One signal: the requests already sent finish and their clips are kept, nothing new
        # starts. A second: they end at once.
        for sig, status, signals, kept in ((signal.SIGINT, 130, 1, 4), (signal.SIGTERM, 143, 1, 4),
                                           (signal.SIGINT, 130, 2, 2)):
            with self.subTest(signal=sig.name, signals=signals):
                cache = self.path("cache-%s-%d" % (sig.name, signals))
                args = ["--vtt", vtt, "--temp-dir", cache, "--jobs", "2", "--no-padding"]
                proc = self.start(args, env)
                self.read_until(proc, lambda lines: sum(
                    line.startswith("Created segment") for line in lines) == 2)
                # Cues 3 and 4 are now waiting on the service.
                if signals == 2:
                    proc.send_signal(sig)
                    time.sleep(0.2)
                code, rest, seconds = self.stop_with(proc, sig)
                self.assertEqual(code, status, rest)
                if signals == 2:
                    self.assertLess(seconds, self.LATENCY_MS / 1000 - 1,
                                    "the run waited for the requests in flight")
                self.assertLess(seconds, self.LATENCY_MS / 1000 + 2)
                last = rest.splitlines()[-1]
                match = INTERRUPTED.match(last)
                self.assertIsNotNone(match, rest)
                clips = self.assertOnlyWholeClips(cache)
                self.assertEqual(int(match.group(1)), len(clips))
                self.assertEqual(int(match.group(2)), len(cues))
                self.assertEqual(len(clips), kept)
                self.assertIn(" for %d new clips" % kept, rest)

                rerun = self.run_lyrane(args, env=self.child_env(env), timeout=120)
                self.assertExitStatus(rerun, 0)
                self.assertEqual(rerun.stderr.count("Generating audio for segment"),
                                 len(cues) - len(clips))
                self.assertEqual(rerun.stderr.count("found in cache"), len(clips))
                self.assertEqual(len(self.assertOnlyWholeClips(cache)), len(cues))


class MirrorDownloadInterruptTest(InterruptCase):
    def test_download_in_progress_is_ended_and_removed(self):
        text = "Fetched from the mirror."
        key = cache_key(text, "", "", DEFAULT_VOICE_ID, 1.0) + ".wav"
        store = self.path("bucket")
        os.makedirs(store)
        write_wav(os.path.join(store, key), [1000, -1000] * 2000)
        log = self.path("aws.log")
        env = fake_aws_env(self.tmp, mode="sleep=3", store=store, log=log)
        cache = self.path("cache")
        proc = self.start(["--say", text, "--s3-bucket", "clips", "--temp-dir", cache,
                           "--no-padding"], env)
        deadline = time.monotonic() + 60
        while not any(call[1] == "get-object" for call in read_fake_log(log)):
            self.assertLess(time.monotonic(), deadline, "the download never started")
            self.assertIsNone(proc.poll())
            time.sleep(0.05)
        time.sleep(0.3)  # the tool is now writing beside the clip
        code, rest, seconds = self.stop_with(proc, signal.SIGTERM)
        self.assertEqual(code, 143, rest)
        self.assertLess(seconds, 2.5, "the run waited for the aws tool")
        self.assertEqual(rest.splitlines()[-1], "Interrupted: 0 of 1 clips are in the cache; "
                         "run the same command again to resume.")
        # Had the tool lived on, it would write its file once its wait was over.
        time.sleep(3.5)
        self.assertEqual(os.listdir(cache), [])


def dead(pid):
    try:
        with open("/proc/%d/stat" % pid, encoding="utf-8", errors="replace") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class KilledRunTest(InterruptCase):
    def test_kill_9_ends_the_aws_call_in_flight(self):
        log = self.path("aws.log")
        env = fake_aws_env(self.tmp, mode="sleep=60", store=self.path("bucket"), log=log)
        proc = self.start(["--say", "Never mirrored.", "--s3-bucket", "clips"], env)
        deadline = time.monotonic() + 60
        while not read_fake_log(log):
            self.assertLess(time.monotonic(), deadline, "the aws call never started")
            time.sleep(0.05)
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as children:
            (child,) = map(int, children.read().split())
        self.addCleanup(lambda: dead(child) or os.kill(child, signal.SIGKILL))
        proc.kill()
        proc.communicate()
        deadline = time.monotonic() + 10
        while not dead(child):
            self.assertLess(time.monotonic(), deadline, "the aws call outlived the run")
            time.sleep(0.05)


class AccountReadInterruptTest(InterruptCase):
    def test_signal_while_the_account_is_read(self):
        reading, release = threading.Event(), threading.Event()
        service = self.start_service()
        self.addCleanup(release.set)
        # The account is read, and never answered.
        service._answer_subscription = lambda handler: (reading.set(), release.wait(60))
        proc = self.start(["--say", "Not yet.", "--output", "out.wav"],
                          {"LYRANE_API_URL": service.url})
        self.assertTrue(reading.wait(60), "the account was never read")
        code, rest, _ = self.stop_with(proc, signal.SIGTERM)
        self.assertEqual(code, 143, rest)
        self.assertEqual(rest.splitlines()[-1], "Interrupted: 0 of 1 clips are in the "
                         "cache; run the same command again to resume.")
        self.assertEqual((os.listdir(self.tmp), service.request_count), (["home"], 0))


class StaleTemporariesTest(InterruptCase):
    def test_old_leftovers_go_when_a_run_starts(self):
        cache = self.path("cache")
        os.makedirs(cache)
        key = cache_key("Left over.", "", "", DEFAULT_VOICE_ID, 1.0)
        old = [key + ".wav.s3-AbC123", key + ".wav.Qx7w2e"]
        young = [key + ".mp3.s3-Zz9Yy8"]
        two_hours_ago = time.time() - 7200
        for name in old + young:
            with open(os.path.join(cache, name), "wb") as out:
                out.write(b"partial")
        for name in old:
            os.utime(os.path.join(cache, name), (two_hours_ago, two_hours_ago))
        service = self.start_service()
        result = self.run_lyrane(["--say", "Something new.", "--temp-dir", cache,
                                  "--no-padding"], env=self.service_env(service))
        self.assertExitStatus(result, 0)
        remaining = sorted(os.listdir(cache))
        self.assertEqual([n for n in remaining if not CLIP_NAME.match(n)], young)
        self.assertEqual(len(remaining), 2)

        # Only a run that uses the cache tidies it.
        for name in old:
            with open(os.path.join(cache, name), "wb") as out:
                out.write(b"partial")
            os.utime(os.path.join(cache, name), (two_hours_ago, two_hours_ago))
        listing = self.run_lyrane(["--cache-only", "--temp-dir", cache])
        self.assertExitStatus(listing, 0)
        self.assertEqual(len(os.listdir(cache)), 4)


def open_files(pid):
    """The paths of the files process `pid` holds open (an unnamed file shows as deleted)."""
    fd_dir = "/proc/%d/fd" % pid
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return []
    paths = []
    for name in names:
        try:
            paths.append(os.readlink(os.path.join(fd_dir, name)))
        except OSError:
            pass
    return paths


class WritingInterruptTest(InterruptCase):
    """A signal while the timeline is prepared and written: every clip is cached by then, so the
    run says so, removes its spill file and temporaries, and leaves an earlier output alone."""

    OLD_OUTPUT = b"an earlier run's output, to be left alone"
    # The last cue starts late, so the timeline takes a while to encode whatever the machine.
    CUES = [(0, 2500, "The first words."), (4000, 6500, "The second words."),
            (900000, 902500, "The last words, much later.")]

    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.vtt = write_vtt(self.path("talk.vtt"), self.CUES)

    @staticmethod
    def reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate()

    def wait_for(self, proc, predicate, what, timeout=120):
        deadline = time.monotonic() + timeout
        while not predicate():
            self.assertIsNone(proc.poll(), "the run ended before " + what)
            self.assertLess(time.monotonic(), deadline, "waited too long for " + what)
            time.sleep(0.02)

    def run_and_stop(self, sig, output_name, extra, writing):
        """Starts a run writing `output_name` over an earlier file, waits until `writing(out_dir,
        pid)` holds, stops it with `sig`; returns (status, rest of stderr, out_dir, tmpdir)."""
        out_dir = self.path("out-" + sig.name)
        os.makedirs(out_dir)
        output = os.path.join(out_dir, output_name)
        with open(output, "wb") as old:
            old.write(self.OLD_OUTPUT)
        tmpdir = self.path("tmp-" + sig.name)
        os.makedirs(tmpdir)
        env = {"LYRANE_API_URL": self.service.url, "TMPDIR": tmpdir}
        proc = self.start(["--vtt", self.vtt, "--temp-dir", self.path("cache"), "--format",
                           "mp3_44100_128", "--output", output, *extra], env)
        self.addCleanup(self.reap, proc)
        self.read_until(proc, lambda lines: any(
            line.startswith("Segment %d: desired" % len(self.CUES)) for line in lines))
        self.wait_for(proc, lambda: writing(out_dir, proc.pid), "the output to be written")
        # Decoded MP3 clips wait in a spill file in TMPDIR while the output is written.
        self.assertTrue(any(path.startswith(tmpdir + os.sep) for path in open_files(proc.pid)))
        code, rest, _ = self.stop_with(proc, sig)
        return code, rest, out_dir, tmpdir

    def assertStoppedCleanly(self, code, status, rest, out_dir, tmpdir, output_name):
        self.assertEqual(code, status, rest)
        self.assertEqual(rest.splitlines()[-1], "Interrupted: %d of %d clips are in the cache; "
                         "run the same command again to resume." % (len(self.CUES),
                                                                     len(self.CUES)))
        self.assertNotIn("Failed", rest)
        self.assertEqual(os.listdir(tmpdir), [], "a temporary file stayed in TMPDIR")
        self.assertEqual(os.listdir(out_dir), [output_name],
                         "a temporary file stayed beside the output")
        with open(os.path.join(out_dir, output_name), "rb") as kept:
            self.assertEqual(kept.read(), self.OLD_OUTPUT)

    def test_signal_while_the_timeline_is_written(self):
        def writing(out_dir, pid):
            # The writer's file beside the output, named or unnamed.
            return any(path.startswith(out_dir + os.sep) and
                       path != os.path.join(out_dir, "out.mp3") for path in open_files(pid))

        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                code, rest, out_dir, tmpdir = self.run_and_stop(sig, "out.mp3", [], writing)
                self.assertStoppedCleanly(code, status, rest, out_dir, tmpdir, "out.mp3")

    def test_signal_while_mixing_over_a_programme(self):
        programme = self.path("programme.wav")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "sine=frequency=300:sample_rate=8000:duration=900", "-c:a", "pcm_s16le",
                        programme], check=True, capture_output=True)

        def mixing(out_dir, pid):
            return any(name.endswith(".part") for name in os.listdir(out_dir))

        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                code, rest, out_dir, tmpdir = self.run_and_stop(
                    sig, "out.m4a", ["--mix-with", programme], mixing)
                self.assertStoppedCleanly(code, status, rest, out_dir, tmpdir, "out.m4a")


if __name__ == "__main__":
    unittest.main()
