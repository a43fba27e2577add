"""Concurrent segment work (--jobs), retries of transient failures (--retries) and time-outs
(--timeout) of requests and of aws calls."""

import os
import re
import shutil
import time
import unittest

from support import (DEFAULT_VOICE_ID, LyraneTestCase, Response, error_response, scripted,
                     write_vtt, cache_key)
from s3_support import fake_aws_env, read_fake_log

# Texts of varied length, so clips differ in duration and some run into the next cue.
CUES = [(i * 1500, i * 1500 + 1400, "Line number %d%s." % (i + 1, " and more" * (i % 4)))
        for i in range(14)]
DELAY = 0.2

# Every line a subtitle run may print here, and nothing else.
LINE_SHAPES = [re.compile(p) for p in (
    r"Generating audio for segment \d+/\d+ \(from \d\d:\d\d:\d\d\.\d{3} to "
    r"\d\d:\d\d:\d\d\.\d{3}\) using voice Brenn in pcm_44100 format\.\.\. .+",
    r"Created segment \d+: .+\.wav",
    r"Segment \d+/\d+ found in cache: .+\.wav",
    r"Generated \d+ audio segments",
    r"Mixing audio segments\.\.\.",
    r"Segment \d+: desired \d+ ms, actual \d+ ms - \d+ ms",
    r"  \(delayed by \d+ ms to avoid collision\)",
    r"Created mixed WAV audio file: .+",
    r"",
    r"--no-padding mode: Individual segment files generated successfully\.",
    r"Segment files are located in: .+",
    r"Billed: \d+ characters for \d+ new clips \(estimated\)",
    r"Flagged: \d+ of \d+ cues \(.+\); see --review",
)]


def keys_for(cues):
    texts = [c[2] for c in cues]
    return [cache_key(t, texts[i - 1] if i else "", texts[i + 1] if i + 1 < len(texts) else "",
                      DEFAULT_VOICE_ID, 1.0) for i, t in enumerate(texts)]


def read_dir(path):
    contents = {}
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as data:
            contents[name] = data.read()
    return contents


class JobsCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, CUES)

    def delayed(self, seconds=DELAY):
        def responder(record, index):
            answer = self.service.default_response(record)
            answer.delay_seconds = seconds
            return answer
        return responder

    def narrate(self, cache, *extra, output=None, env=None, vtt=None):
        args = ["--vtt", vtt or self.vtt, "--temp-dir", cache]
        args += ["--output", output or self.path("out.wav"), "--padding", "5s"] + list(extra)
        return self.run_lyrane(args, env=env or self.env)

    def one_cue_vtt(self, text="Only cue."):
        return write_vtt(self.path("one.vtt"), [(0, 2000, text)])

    def assertLineShapes(self, stderr):
        self.assertTrue(stderr.endswith("\n"), "last line incomplete: %r" % stderr[-80:])
        for line in stderr[:-1].split("\n"):
            self.assertTrue(any(shape.fullmatch(line) for shape in LINE_SHAPES),
                            "unexpected or broken line %r" % line)


class ParallelRunTest(JobsCase):
    def test_four_jobs_give_the_same_files_as_one(self):
        self.service.responder = self.delayed()
        serial_cache, parallel_cache = self.path("serial"), self.path("parallel")
        serial = self.narrate(serial_cache, "--jobs", "1", output=self.path("serial.wav"))
        self.assertExitStatus(serial, 0)
        self.assertEqual(self.service.max_in_flight, 1)

        self.service.reset()
        parallel = self.narrate(parallel_cache, "--jobs", "4", output=self.path("parallel.wav"))
        self.assertExitStatus(parallel, 0)
        self.assertEqual(self.service.request_count, len(CUES))
        self.assertLessEqual(self.service.max_in_flight, 4)
        self.assertGreater(self.service.max_in_flight, 1, "requests were not overlapped")

        serial_files, parallel_files = read_dir(serial_cache), read_dir(parallel_cache)
        self.assertEqual(sorted(serial_files), sorted(k + ".wav" for k in keys_for(CUES)))
        self.assertEqual(sorted(parallel_files), sorted(serial_files))
        for name in serial_files:
            self.assertEqual(parallel_files[name], serial_files[name], name)
        with open(self.path("serial.wav"), "rb") as a, open(self.path("parallel.wav"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "the mixed outputs differ")

        self.assertLineShapes(parallel.stderr)
        created = re.findall(r"^Created segment (\d+): (.+)$", parallel.stderr, re.M)
        self.assertEqual(sorted(int(n) for n, _ in created), list(range(1, len(CUES) + 1)))
        keys = keys_for(CUES)
        for number, path in created:
            self.assertEqual(path, os.path.join(parallel_cache, keys[int(number) - 1] + ".wav"))
        generating = re.findall(r"^Generating audio for segment (\d+)/14 .*\.\.\. (.+)$",
                                parallel.stderr, re.M)
        self.assertEqual(sorted(int(n) for n, _ in generating), list(range(1, len(CUES) + 1)))
        for number, text in generating:
            self.assertEqual(text, CUES[int(number) - 1][2])

        report = re.findall(r"^Segment (\d+): desired (\d+) ms", parallel.stderr, re.M)
        self.assertEqual([(int(n), int(d)) for n, d in report],
                         [(i + 1, c[0]) for i, c in enumerate(CUES)])
        # From the mix on, both runs print the same report.
        tail = lambda text: text[text.index("Generated "):].replace(
            "parallel.wav", "X").replace("serial.wav", "X")
        self.assertEqual(tail(parallel.stderr), tail(serial.stderr))

    def test_one_job_prints_what_a_run_without_the_option_prints(self):
        self.service.responder = self.delayed(0.02)
        cache = self.path("cache")
        runs = {}
        for name, extra in [("default", []), ("--jobs 1", ["--jobs", "1"]), ("-j 1", ["-j", "1"])]:
            shutil.rmtree(cache, ignore_errors=True)
            self.service.reset()
            result = self.narrate(cache, *extra)
            self.assertExitStatus(result, 0)
            self.assertEqual(self.service.max_in_flight, 1, name)
            self.assertEqual([r.text for r in self.service.requests], [c[2] for c in CUES], name)
            runs[name] = result.stderr
        self.assertEqual(runs["--jobs 1"], runs["default"])
        self.assertEqual(runs["-j 1"], runs["default"])
        self.assertLineShapes(runs["default"])

    def test_cached_rerun_with_jobs(self):
        cache = self.path("cache")
        self.assertExitStatus(self.narrate(cache, "--no-padding", "-j", "4"), 0)
        self.service.reset()
        again = self.narrate(cache, "--no-padding", "-j", "4")
        self.assertExitStatus(again, 0)
        self.assertEqual(self.service.request_count, 0)
        self.assertLineShapes(again.stderr)
        found = re.findall(r"^Segment (\d+)/14 found in cache: ", again.stderr, re.M)
        self.assertEqual(sorted(int(n) for n in found), list(range(1, len(CUES) + 1)))


class ParallelFailureTest(JobsCase):
    def test_failure_at_cue_five_with_four_jobs(self):
        failing = CUES[4][2]

        def responder(record, index):
            if record.text == failing:
                return error_response(500, "cue five broke")
            answer = self.service.default_response(record)
            answer.delay_seconds = 0.3
            return answer
        self.service.responder = responder
        cache = self.path("cache")
        result = self.narrate(cache, "--jobs", "4", "--no-padding", "--retries", "0")
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr.count("Failed to generate audio"), 1, result.stderr)
        self.assertRegex(result.stderr,
                         r"(?m)^Failed to generate audio for segment 5: TTS request failed: .+$")
        self.assertNotIn("Generated", result.stderr)
        self.assertNotIn("--no-padding mode", result.stderr)

        keys = keys_for(CUES)
        texts = [c[2] for c in CUES]
        requested = [texts.index(r.text) for r in self.service.requests]
        # Cue 5 starts when the first of cues 1-4 is done; nothing starts after it failed.
        self.assertEqual(sorted(requested), list(range(len(requested))))
        self.assertGreaterEqual(len(requested), 5)
        self.assertLessEqual(len(requested), 8)
        answered = [i for i in requested if i != 4]
        self.assertEqual(sorted(os.listdir(cache)), sorted(keys[i] + ".wav" for i in answered),
                         "a clip that was in flight when the run failed is missing")
        for i in answered:
            self.assertIn("Created segment %d: " % (i + 1), result.stderr)

        self.service.reset()
        self.service.responder = None
        again = self.narrate(cache, "--jobs", "4", "--no-padding")
        self.assertExitStatus(again, 0)
        rerequested = sorted(texts.index(r.text) for r in self.service.requests)
        self.assertEqual(rerequested, [i for i in range(len(CUES)) if i not in answered])
        self.assertEqual(sorted(os.listdir(cache)), sorted(k + ".wav" for k in keys))

    def test_cue_waiting_to_retry_is_dropped_quietly_after_a_failure(self):
        def responder(record, index):
            if record.text == CUES[0][2]:
                return error_response(429, "slow down", headers={"Retry-After": "1"})
            if record.text == CUES[1][2]:
                answer = error_response(400, "bad request")
                answer.delay_seconds = 0.2
                return answer
            return None
        self.service.responder = responder
        result = self.narrate(self.path("cache"), "--jobs", "4", "--retries", "3",
                              "--no-padding")
        self.assertExitStatus(result, 1)
        self.assertIn("Retrying segment 1 in 1000 ms (attempt 1 of 3): ", result.stderr)
        # Segment 1 did not fail: the run stopped before its retry was due.
        self.assertEqual(re.findall(r"(?m)^Failed to generate audio for segment (\d+): ",
                                    result.stderr), ["2"], result.stderr)
        self.assertEqual([r.text for r in self.service.requests].count(CUES[0][2]), 1)


class RetryTest(JobsCase):
    def run_one(self, responder, *extra, text="Only cue."):
        self.service.responder = responder
        return self.narrate(self.path("cache"), "--no-padding", *extra,
                            vtt=self.one_cue_vtt(text))

    def retry_lines(self, stderr):
        return re.findall(r"^Retrying segment 1 in (\d+) ms \(attempt (\d+) of (\d+)\): "
                          r"(TTS request failed: .+)$", stderr, re.M)

    def test_429_with_retry_after_zero(self):
        result = self.run_one(scripted(error_response(429, "slow down",
                                                      headers={"Retry-After": "0"})),
                              "--retries", "2")
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 2)
        lines = self.retry_lines(result.stderr)
        self.assertEqual([(d, a, n) for d, a, n, _ in lines], [("0", "1", "2")], result.stderr)
        self.assertIn("Created segment 1: ", result.stderr)
        self.assertLineShapes(result.stderr.replace(
            "Retrying segment 1 in 0 ms (attempt 1 of 2): " + lines[0][3] + "\n", ""))

    def test_429_without_retry_after_waits_about_a_second(self):
        result = self.run_one(scripted(error_response(429, "slow down")), "--retries", "1")
        self.assertExitStatus(result, 0)
        lines = self.retry_lines(result.stderr)
        self.assertEqual(len(lines), 1, result.stderr)
        delay = int(lines[0][0])
        self.assertGreaterEqual(delay, 800)
        self.assertLessEqual(delay, 1200)
        first, second = self.service.requests
        self.assertGreaterEqual(second.received_at - first.received_at, delay / 1000.0 - 0.05)

    def test_server_error_then_success(self):
        result = self.run_one(scripted(error_response(500, "hiccup")), "--retries", "3")
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 2)
        self.assertEqual([(a, n) for _, a, n, _ in self.retry_lines(result.stderr)], [("1", "3")])

    def test_dropped_connections_then_success(self):
        drop = Response(drop_connection=True)
        # Two drops in a row: the HTTP layer may resend once by itself, but not twice.
        result = self.run_one(scripted(drop, drop), "--retries", "3")
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 3)
        self.assertIn(len(self.retry_lines(result.stderr)), (1, 2), result.stderr)
        self.assertIn("Created segment 1: ", result.stderr)

    def test_client_error_is_never_retried(self):
        result = self.run_one(lambda record, index: error_response(400, "bad voice"),
                              "--retries", "3")
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.request_count, 1)
        self.assertEqual(self.retry_lines(result.stderr), [])
        self.assertRegex(result.stderr,
                         r"(?m)^Failed to generate audio for segment 1: TTS request failed: .+$")

    def test_no_retries_keeps_the_plain_failure(self):
        result = self.run_one(lambda record, index: error_response(503, "busy"), "--retries", "0")
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.request_count, 1)
        self.assertNotIn("Retrying", result.stderr)
        self.assertRegex(result.stderr, r"(?m)^Failed to generate audio for segment 1: "
                         r"TTS request failed: .+\n\Z")

    def test_three_retries_by_default(self):
        busy = error_response(503, "busy", headers={"Retry-After": "0"})
        result = self.run_one(lambda record, index: busy)
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.request_count, 4)
        self.assertEqual(re.findall(r"(?m)^Retrying segment 1 in 0 ms \(attempt (\d) of 3\): ",
                                    result.stderr), ["1", "2", "3"])
        self.assertRegex(result.stderr, r"(?m)^Failed to generate audio for segment 1: "
                         r"TTS request failed: .+\n\Z")

    def test_retries_run_out(self):
        busy = error_response(503, "busy", headers={"Retry-After": "0"})
        result = self.run_one(lambda record, index: busy, "--retries", "2")
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.request_count, 3)
        self.assertEqual([(a, n) for _, a, n, _ in self.retry_lines(result.stderr)],
                         [("1", "2"), ("2", "2")])
        self.assertEqual(result.stderr.count("Failed to generate audio for segment 1: "), 1)

    def test_single_text_mode_retry_line(self):
        self.service.responder = scripted(error_response(429, "slow down",
                                                         headers={"Retry-After": "0"}))
        result = self.run_lyrane(["--say", "Try again.", "--temp-dir", self.path("cache"),
                                  "--output", "say.wav", "--retries", "1"], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 2)
        self.assertRegex(result.stderr, r"\AGenerating audio for text\.\.\.\n"
                         r"Retrying in 0 ms \(attempt 1 of 1\): TTS request failed: [^\n]+\n"
                         r"Audio generated successfully: [^\n]+\n"
                         r"Created WAV audio file: say\.wav\n"
                         r"Billed: 10 characters for 1 new clips \(estimated\)\n\Z")


class TimeoutTest(JobsCase):
    def test_request_time_out(self):
        self.service.responder = lambda record, index: Response(
            headers={"Content-Type": "audio/pcm"}, body=b"\0\0" * 100, delay_seconds=3)
        started = time.monotonic()
        result = self.narrate(self.path("cache"), "--no-padding", "--timeout", "1",
                              "--retries", "0", vtt=self.one_cue_vtt())
        elapsed = time.monotonic() - started
        self.assertExitStatus(result, 1)
        self.assertLess(elapsed, 2.9)  # the answer would have come after 3 s
        self.assertRegex(result.stderr, r"(?m)^Failed to generate audio for segment 1: "
                         r"TTS request failed: Operation canceled\n\Z")
        self.assertEqual(self.service.request_count, 1)

    def test_timed_out_request_is_retried(self):
        self.service.responder = scripted(Response(delay_seconds=3))
        result = self.narrate(self.path("cache"), "--no-padding", "--timeout", "0.5",
                              "--retries", "1", vtt=self.one_cue_vtt())
        self.assertExitStatus(result, 0)
        self.assertRegex(result.stderr, r"(?m)^Retrying segment 1 in \d+ ms \(attempt 1 of 1\): "
                         r"TTS request failed: .+$")
        self.assertEqual(self.service.request_count, 2)

    def test_slow_service_within_the_time_out(self):
        self.service.responder = self.delayed(0.5)
        result = self.narrate(self.path("cache"), "--no-padding", "--timeout", "2",
                              vtt=self.one_cue_vtt())
        self.assertExitStatus(result, 0)

    def test_aws_time_out(self):
        log = self.path("aws.log")
        env = fake_aws_env(self.tmp, mode="sleep=5", log=log)
        env.update(self.env)
        cases = [
            ("subtitle run", ["--vtt", self.one_cue_vtt(), "--no-padding"]),
            ("single text", ["--say", "Mirrored.", "--output", "say.wav"]),
        ]
        for name, args in cases:
            with self.subTest(name):
                started = time.monotonic()
                result = self.run_lyrane(args + ["--temp-dir", self.path("cache-" + name[0]),
                                                 "--timeout", "1", "--s3-bucket", "b"], env=env)
                elapsed = time.monotonic() - started
                self.assertExitStatus(result, 1)
                self.assertLess(elapsed, 4.5)  # the stand-in sleeps for 5 s
                self.assertTrue(result.stderr.startswith("S3 cache enabled: b\n"), result.stderr)
                self.assertTrue(result.stderr.endswith("aws CLI timed out\n"), result.stderr)
                self.assertIn("S3 cache download failed: aws CLI timed out\n", result.stderr)
                self.assertEqual(self.service.request_count, 0)
        self.assertTrue(read_fake_log(log), "the aws stand-in was never run")


if __name__ == "__main__":
    unittest.main()
