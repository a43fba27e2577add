"""One batch over many machines: a list file, each worker's share of it from the options or a job
engine's variables, the shards' reports merged, and clips claimed in a shared mirror (moto and a
real aws CLI) so that workers racing for the same clips pay for each once."""

import dataclasses
import json
import os
import signal
import subprocess
import time
import unittest

from report_schema import assert_valid_report
from s3_support import (REAL_AWS, MotoS3, aws_env, conditional_aws, create_bucket, http_client,
                        list_keys, put_object, real_aws_available)
from support import DEFAULT_VOICE_ID, LyraneTestCase, cache_key, lyrane_bin, write_vtt

CUES = [(0, 1500, "Shared by every copy."), (2000, 3500, "Paid for once."),
        (4000, 5500, "Waited for by the rest.")]
NAMES = ["e0.vtt", "e1.vtt", "e2.vtt", "e3.vtt", "e4.vtt"]


class ListsAndShards(LyraneTestCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("episodes"))
        for n, name in enumerate(NAMES):
            write_vtt(self.path("episodes", name), [(0, 1000, "Episode %d." % n)])
        self.list = self.write_text("episodes/list.txt", "# the season\n\n" + "\n".join(
            NAMES[:2] + ["  # a comment between", ""] + [os.path.join(self.tmp, "episodes", n)
                                                          for n in NAMES[2:]]) + "\n")

    def dry(self, *args, env=None):
        return self.run_lyrane(["--batch", "@" + self.list, "--dry-run"] + list(args), env=env)

    def test_each_way_of_naming_a_share(self):
        # clang-format off
        rows = [
            ([], {}, None, [0, 1, 2, 3, 4]),
            (["--shard", "1/2"], {}, "Shard 1/2: 2 of 5 files", [1, 3]),
            ([], {"LYRANE_SHARD": "2/3"}, "Shard 2/3: 1 of 5 files", [2]),
            (["--shard-count", "2"], {"JOB_COMPLETION_INDEX": "0"}, "Shard 0/2: 3 of 5 files", [0, 2, 4]),
            ([], {"AWS_BATCH_JOB_ARRAY_INDEX": "3", "LYRANE_SHARD_COUNT": "4"}, "Shard 3/4: 1 of 5 files", [3]),
            (["--shard", "0/5"], {"LYRANE_SHARD": "4/5"}, "Shard 0/5: 1 of 5 files", [0]),
            (["--shard", "7/8"], {}, "Shard 7/8: 0 of 5 files", []),
        ]
        # clang-format on
        for args, env, first_line, positions in rows:
            with self.subTest(args=args, env=env):
                result = self.dry(*args, env=env)
                self.assertExitStatus(result, 0)
                lines = result.stderr.splitlines()
                if first_line:
                    self.assertEqual(lines[0], first_line)
                else:
                    self.assertNotIn("Shard", result.stderr)
                files = [line.split(": ", 1)[1] for line in lines if line.startswith("Batch ")
                         and not line.startswith("Batch complete")]
                self.assertEqual(files, [self.path("episodes", NAMES[p]) for p in positions])
                self.assertIn("Batch complete: %d files" % len(positions), result.stderr)

    def test_thousands_in_the_first_line(self):
        long_list = self.write_text("long.txt", "episodes/e0.vtt\n" * 1000)
        result = self.run_lyrane(["--batch", "@" + long_list, "--dry-run", "--shard", "2/8"])
        self.assertExitStatus(result, 0)
        self.assertTrue(result.stderr.startswith("Shard 2/8: 125 of 1,000 files\n"))

    def test_bad_input_is_one_line(self):
        vtt = self.path("episodes", NAMES[0])
        broken = self.write_text("broken.txt", "episodes/e0.vtt\n\nepisodes/gone.vtt\n")
        batch = ["--batch", "@" + self.list]
        # clang-format off
        rows = [
            (batch + ["--shard", "2/2"], {}, "--shard must be K/N with K from 0 to N-1: 2/2\n"),
            (batch + ["--shard", "0/0"], {}, "--shard must be K/N with K from 0 to N-1: 0/0\n"),
            (batch + ["--shard", "-1/2"], {}, "--shard must be K/N with K from 0 to N-1: -1/2\n"),
            (batch, {"LYRANE_SHARD": "1"}, "LYRANE_SHARD must be K/N with K from 0 to N-1: 1\n"),
            (["--vtt", vtt, "--shard", "0/2"], {}, "a shard (--shard or LYRANE_SHARD) needs --batch\n"),
            (["--vtt", vtt], {"LYRANE_SHARD": "0/2"}, "a shard (--shard or LYRANE_SHARD) needs --batch\n"),
            (["--vtt", vtt, "--shard-count", "2"], {}, "--shard-count needs --batch\n"),
            (batch + ["--shard-count", "2"], {"JOB_COMPLETION_INDEX": "x1"}, "JOB_COMPLETION_INDEX is not a number: x1\n"),
            (batch, {"AWS_BATCH_JOB_ARRAY_INDEX": "1.5", "LYRANE_SHARD_COUNT": "4"}, "AWS_BATCH_JOB_ARRAY_INDEX is not a number: 1.5\n"),
            (batch + ["--shard-count", "4"], {"JOB_COMPLETION_INDEX": "4"}, "JOB_COMPLETION_INDEX must be from 0 to 3 (--shard-count 4): 4\n"),
            (batch + ["--shard-count", "2"], {}, "--shard-count needs JOB_COMPLETION_INDEX or AWS_BATCH_JOB_ARRAY_INDEX\n"),
            (batch + ["--shard-count", "0"], {"JOB_COMPLETION_INDEX": "0"}, "--shard-count must be a whole number from 1: 0\n"),
            (["--batch", "@" + broken], {}, "%s line 3: no such file: episodes/gone.vtt\n" % broken),
            (["--batch", "@" + self.path("nothing.txt")], {}, "cannot read list file %s: " % self.path("nothing.txt")),
            (batch + ["--claim-clips"], {}, "--claim-clips needs --s3-bucket (or LYRANE_S3_BUCKET)\n"),
        ]
        # clang-format on
        service = self.start_service()
        for args, env, message in rows:
            with self.subTest(args=args, env=env):
                result = self.run_lyrane(args, env=dict(self.service_env(service), **env))
                self.assertExitStatus(result, 1)
                self.assertTrue(result.stderr.startswith(message), result.stderr)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertEqual(service.request_count, 0)


class MergedReports(LyraneTestCase):
    def test_shards_merge_into_the_one_worker_report(self):
        files = []
        for n in range(3):
            files.append(write_vtt(self.path("m%d.vtt" % n), [
                (0, 1000, "File %d opens." % n), (1500, 2500, "Common line.")]))
        listing = self.write_text("list.txt", "\n".join(os.path.basename(f) for f in files))
        service = self.start_service()
        env = self.service_env(service)

        def batch(report, *extra):
            result = self.run_lyrane(["--batch", "@" + listing, "--temp-dir", self.path("c-" + report),
                                      "--report", self.path(report)] + list(extra), env=env)
            self.assertExitStatus(result, 0)
            with open(self.path(report), encoding="utf-8") as source:
                return json.load(source)

        whole = batch("whole.json")
        shards = [batch("s%d.json" % k, "--shard", "%d/2" % k) for k in range(2)]
        for k, shard in enumerate(shards):
            assert_valid_report(self, shard)
            self.assertEqual(shard["shard"], {"index": k, "count": 2, "files": 2 - k, "list_files": 3})
        merged_list = self.write_text("reports.txt", "s0.json\n# the second\ns1.json\n")
        for value in (self.path("s0.json") + "," + self.path("s1.json"), "@" + merged_list):
            with self.subTest(value=value):
                merge = self.run_lyrane(["--merge-reports", value, "--report", self.path("all.json")])
                self.assertExitStatus(merge, 0)
                with open(self.path("all.json"), encoding="utf-8") as source:
                    merged = json.load(source)
                assert_valid_report(self, merged)
                self.assertNotIn("shard", merged)
                self.assertEqual(merged["totals"], whole["totals"])
                self.assertEqual(merged["settings"], whole["settings"])
                order = lambda entries: sorted(entries, key=lambda e: (e["input"], e.get("number", 0)))
                strip = lambda cue: {k: v for k, v in cue.items() if k not in ("request_id", "source", "clip_file")}
                self.assertEqual([strip(c) for c in order(merged["cues"])],
                                 [strip(c) for c in order(whole["cues"])])
                self.assertEqual(order(merged["outputs"]), order(whole["outputs"]))

        other = batch("other.json", "--shard", "1/2", "--voice", "Miravel")
        # clang-format off
        rows = [
            ([self.path("s0.json"), self.path("s0.json")], "cannot merge %s and %s: both are shard 0/2\n" % (self.path("s0.json"), self.path("s0.json"))),
            ([self.path("whole.json"), self.path("s1.json")], "cannot merge %s and %s: both hold %s\n" % (self.path("whole.json"), self.path("s1.json"), files[1])),
            ([self.path("s0.json"), self.path("other.json")], "cannot merge %s and %s: they were made with different settings\n" % (self.path("s0.json"), self.path("other.json"))),
            ([self.path("s0.json"), listing], "%s is not a lyrane report\n" % listing),
            ([self.path("s0.json"), self.path("none.json")], "cannot read report %s: " % self.path("none.json")),
        ]
        # clang-format on
        self.assertIsNotNone(other)
        for reports, message in rows:
            with self.subTest(reports=reports):
                result = self.run_lyrane(["--merge-reports", ",".join(reports), "--report",
                                          self.path("refused.json")])
                self.assertExitStatus(result, 1)
                self.assertTrue(result.stderr.startswith(message), result.stderr)
                self.assertFalse(os.path.exists(self.path("refused.json")))
        result = self.run_lyrane(["--merge-reports", self.path("s0.json")])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "--merge-reports needs --report to write the joined report to\n")


class ClaimsInTheMirror(LyraneTestCase):
    client = "aws"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # lyrane's own HTTP client writes conditionally itself: Debian's aws CLI will do.
        if cls.client == "http":
            cls.program = REAL_AWS if real_aws_available() else None
        else:
            cls.program = conditional_aws()
        cls.s3 = MotoS3().start()

    @classmethod
    def tearDownClass(cls):
        cls.s3.stop()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        if not self.program:
            self.skipTest("no aws CLI with conditional writes on PATH")
        self.bucket = "claims-%s" % os.path.basename(self.tmp).replace("_", "-").lower()
        self.aws = aws_env(self.tmp, self.s3.endpoint, self.program)
        create_bucket(self.aws, self.bucket)
        self.runs = self.aws if self.client == "aws" else http_client(self.aws, self.s3.endpoint)
        self.keys = [cache_key(text, CUES[i - 1][2] if i else "",
                               CUES[i + 1][2] if i + 1 < len(CUES) else "", DEFAULT_VOICE_ID, 1.0)
                     for i, (_, _, text) in enumerate(CUES)]

    def slow_service(self, seconds):
        service = self.start_service()
        service.responder = lambda record, index: dataclasses.replace(
            service.default_response(record), delay_seconds=seconds)
        return service

    def worker(self, service, name, args, aws=None):
        env = dict(aws or self.runs, **self.service_env(service))
        env.update({"HOME": self.home, "TMPDIR": self.path(), "LC_ALL": "C.UTF-8"})
        return subprocess.Popen([lyrane_bin(), "--temp-dir", self.path("cache-" + name),
                                 "--s3-bucket", self.bucket] + args, env=env, cwd=self.tmp,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def test_two_workers_racing_pay_for_each_clip_once(self):
        for name in ("a.vtt", "b.vtt"):
            write_vtt(self.path(name), CUES)
        listing = self.write_text("list.txt", "a.vtt\nb.vtt\n")
        service = self.slow_service(2.0)
        workers = [self.worker(service, str(k), ["--batch", "@" + listing, "--shard", "%d/2" % k])
                   for k in range(2)]
        errors = [w.communicate(timeout=300)[1] for w in workers]
        for w, stderr in zip(workers, errors):
            self.assertEqual(w.returncode, 0, stderr)
        self.assertEqual(sorted(r.text for r in service.requests), sorted(c[2] for c in CUES))
        self.assertTrue(any("Waiting for %s.wav: " % self.keys[0] in e for e in errors), errors)
        with open(self.path("a.wav"), "rb") as a, open(self.path("b.wav"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(k + ".wav" for k in self.keys))

    def test_stale_claim_is_taken_over_and_a_stop_removes_claims(self):
        vtt = write_vtt(self.path("talk.vtt"), CUES[:1])
        stale = self.write_text("stale.json", json.dumps({
            "worker": "gone:1", "claimed_at": "2020-01-01T00:00:00Z", "lifetime_seconds": 600}))
        key = cache_key(CUES[0][2], "", "", DEFAULT_VOICE_ID, 1.0)
        put_object(self.aws, self.bucket, key + ".claim", stale)
        service = self.start_service()
        run = self.worker(service, "a", ["--vtt", vtt, "--claim-clips", "--output", "o.wav"])
        stderr = run.communicate(timeout=120)[1]
        self.assertEqual(run.returncode, 0, stderr)
        self.assertIn("Claim on %s.wav by gone:1 has expired; taking it over\n" % key, stderr)
        self.assertEqual(service.request_count, 1)
        self.assertEqual(list_keys(self.aws, self.bucket), [key + ".wav"])

        # A stopped worker leaves no claim behind, once the requests it sent had their
        # --timeout to finish.
        write_vtt(vtt, CUES[1:])
        stopped = self.worker(self.slow_service(60), "b",
                              ["--vtt", vtt, "--claim-clips", "--jobs", "2", "--no-padding",
                               "--timeout", "20"])
        deadline = time.monotonic() + 60
        while sum(k.endswith(".claim") for k in list_keys(self.aws, self.bucket)) < 2:
            self.assertLess(time.monotonic(), deadline, "no claims were written")
            time.sleep(0.2)
        stopped.send_signal(signal.SIGTERM)
        stopped.communicate(timeout=60)
        self.assertEqual(stopped.returncode, 143)
        self.assertEqual(list_keys(self.aws, self.bucket), [key + ".wav"])

    def test_an_aws_cli_without_conditional_writes_says_so_once(self):
        vtt = write_vtt(self.path("talk.vtt"), CUES)
        service = self.start_service()
        old = aws_env(self.tmp, self.s3.endpoint)
        run = self.worker(service, "old", ["--vtt", vtt, "--claim-clips", "--jobs", "3",
                                           "--no-padding"],
                          aws=old if self.client == "aws" else http_client(old, self.s3.endpoint))
        stderr = run.communicate(timeout=120)[1]
        self.assertEqual(run.returncode, 0, stderr)
        # Only the aws client depends on the tool for conditional writes.
        self.assertEqual(stderr.count("The aws CLI cannot write conditionally (--if-none-match); "
                                      "clips are not claimed, so workers on other machines may "
                                      "pay for the same clip\n"), int(self.client == "aws"),
                         stderr)
        self.assertEqual(service.request_count, 3)
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(k + ".wav" for k in self.keys))

    def test_claims_that_cannot_hold_are_taken_over(self):
        now = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        # clang-format off
        rows = [
            ({"worker": "ahead\x1b[31m:1", "claimed_at": "2999-01-01T00:00:00Z", "lifetime_seconds": 600}, "by ahead\\x1b[31m:1 is dated ahead of this machine's clock"),
            ({"worker": "w:2", "claimed_at": now, "lifetime_seconds": 86400}, "by w:2 is to hold longer than 600 seconds"),
            ("not a claim", "cannot be read"),
        ]
        # clang-format on
        for n, (claim, words) in enumerate(rows):
            with self.subTest(words):
                text = "Claimed by nobody %d." % n
                vtt = write_vtt(self.path("c%d.vtt" % n), [(0, 1000, text)])
                key = cache_key(text, "", "", DEFAULT_VOICE_ID, 1.0)
                body = claim if isinstance(claim, str) else json.dumps(claim)
                put_object(self.aws, self.bucket, key + ".claim", self.write_text("claim", body))
                service = self.start_service()
                run = self.worker(service, "c%d" % n, ["--vtt", vtt, "--claim-clips",
                                                       "--no-padding"])
                stderr = run.communicate(timeout=120)[1]
                self.assertEqual(run.returncode, 0, stderr)
                self.assertIn("Claim on %s.wav %s; taking it over\n" % (key, words), stderr)
                self.assertEqual(service.request_count, 1)
                self.assertNotIn(key + ".claim", list_keys(self.aws, self.bucket))

    def test_a_claim_beside_its_clip_is_removed(self):
        vtt = write_vtt(self.path("talk.vtt"), CUES[:1])
        key = cache_key(CUES[0][2], "", "", DEFAULT_VOICE_ID, 1.0)
        made = self.run_lyrane(["--vtt", vtt, "--temp-dir", self.path("maker"), "--no-padding"],
                               env=self.service_env(self.start_service()))
        self.assertExitStatus(made, 0)
        # A worker that uploaded the clip and was killed before removing its claim.
        put_object(self.aws, self.bucket, key + ".claim", self.write_text("claim.json", json.dumps(
            {"worker": "gone:1", "claimed_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
             "lifetime_seconds": 600})))
        service = self.start_service()
        run = self.worker(service, "w", ["--vtt", vtt, "--claim-clips", "--no-padding"])
        first = ""
        while "Waiting for" not in first:
            first = run.stderr.readline()
            self.assertNotEqual(first, "", "the worker ended without waiting")
        put_object(self.aws, self.bucket, key + ".wav", self.path("maker", key + ".wav"))
        stderr = run.communicate(timeout=120)[1]
        self.assertEqual(run.returncode, 0, stderr)
        self.assertIn("Downloaded segment from S3: %s.wav\n" % key, stderr)
        self.assertEqual(service.request_count, 0)
        self.assertEqual(list_keys(self.aws, self.bucket), [key + ".wav"])


class ClaimsInTheMirrorOverHttp(ClaimsInTheMirror):
    """The claims again with --s3-client http."""
    client = "http"


if __name__ == "__main__":
    unittest.main()
