"""Command-line front end: validation order and messages, the no-work exits, the cue listing."""

import os
import unittest

from support import LyraneTestCase, write_vtt

WORKED_EXAMPLE = [
    (1000, 3500, "Welcome back."),
    (65250, 67000, "Let us begin."),
    (70000, 71000, "Third."),
]

WORKED_LISTING = """
=== VTT CUES INFORMATION ===
Total cues: 3

Cue #1:
  Start Time: 00:00:01.000
  End Time: 00:00:03.500
  Duration: 2500 ms
  Text: Welcome back.

Cue #2:
  Start Time: 00:01:05.250
  End Time: 00:01:07.000
  Duration: 1750 ms
  Text: Let us begin.

=== END OF VTT CUES INFORMATION ===
"""


class ValidationTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, WORKED_EXAMPLE)

    def check_rejected(self, args, message, env=None):
        result = self.run_lyrane(args, env=env)
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, message)
        self.assertEqual(result.stdout, "")

    def test_each_check_has_its_message(self):
        missing = self.path("missing.txt")
        rows = [
            (["--say", "x", "--previous-text", "", "--previous-text-file", self.vtt],
             "only one of --previous-text or --previous-text-file may be provided\n"),
            (["--say", "x", "--next-text", "a", "--next-text-file", self.vtt],
             "only one of --next-text or --next-text-file may be provided\n"),
            (["--vtt", self.vtt, "--next-text-file", missing],
             f"failed to read text file {missing}: No such file or directory\n"),
            (["--say", "x", "--previous-text-file", missing],
             f"failed to read text file {missing}: No such file or directory\n"),
            (["--vtt", self.vtt, "--limit", "-1"], "--limit must be zero or positive\n"),
            (["--vtt", self.vtt, "--limit", "abc"], "--limit must be zero or positive\n"),
            (["--vtt", self.vtt, "--limit", "1.5"], "--limit must be zero or positive\n"),
            (["--vtt", self.vtt, "--limit", "3000000000"], "--limit must be zero or positive\n"),
            (["--vtt", self.vtt, "--speed", "0.69"], "--speed must be between 0.7 and 1.2\n"),
            (["--vtt", self.vtt, "--speed", "1.21"], "--speed must be between 0.7 and 1.2\n"),
            (["--vtt", self.vtt, "--speed", "fast"], "--speed must be between 0.7 and 1.2\n"),
            (["--vtt", self.vtt, "--padding", "5x"],
             "--padding must be a duration such as 500ms, 5s or 1m30s\n"),
            (["--vtt", self.vtt, "--jobs", "0"], "--jobs must be between 1 and 16\n"),
            (["--vtt", self.vtt, "--jobs", "17"], "--jobs must be between 1 and 16\n"),
            (["--vtt", self.vtt, "--retries", "11"], "--retries must be between 0 and 10\n"),
            (["--vtt", self.vtt, "--retries", "-1"], "--retries must be between 0 and 10\n"),
            (["--vtt", self.vtt, "--timeout", "-1"], "--timeout must be zero or positive\n"),
            (["--vtt", self.vtt, "--timeout", "soon"], "--timeout must be zero or positive\n"),
            ([], "one of --vtt, --say, --text, or --batch must be provided\n"),
            (["--vtt", ""], "one of --vtt, --say, --text, or --batch must be provided\n"),
            (["--vtt", self.vtt, "--say", "hi"],
             "only one of --vtt, --say, --text, or --batch may be provided\n"),
            (["--vtt", self.vtt, "--next-text", "later"],
             "--previous-text and --next-text are only supported with --say or --text\n"),
            (["--vtt", self.vtt, "--output", ""], "--output flag is required\n"),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                self.check_rejected(args, message)

    def test_checks_run_in_order(self):
        # The numeric checks come before --cache-only, the mode checks after it.
        self.check_rejected(["--cache-only", "--limit", "-3"],
                            "--limit must be zero or positive\n")
        self.check_rejected(["--cache-only", "--speed", "2"],
                            "--speed must be between 0.7 and 1.2\n")
        self.check_rejected(["--cache-only", "--padding", "-1s"],
                            "--padding must be a duration such as 500ms, 5s or 1m30s\n")
        self.check_rejected(["--limit", "-1", "--speed", "9"],
                            "--limit must be zero or positive\n")
        self.check_rejected(["--speed", "9", "--padding", "x", "--jobs", "99"],
                            "--speed must be between 0.7 and 1.2\n")
        self.check_rejected(["--padding", "x", "--jobs", "99"],
                            "--padding must be a duration such as 500ms, 5s or 1m30s\n")
        self.check_rejected(["--jobs", "99", "--retries", "99", "--timeout", "-1"],
                            "--jobs must be between 1 and 16\n")
        self.check_rejected(["--retries", "99", "--timeout", "-1"],
                            "--retries must be between 0 and 10\n")
        # Both context options given: rejected before the file is even read.
        self.check_rejected(["--say", "x", "--previous-text", "a",
                             "--previous-text-file", self.path("nope")],
                            "only one of --previous-text or --previous-text-file may be provided\n")

    def test_accepted_boundaries(self):
        for args in (["--speed", "0.7"], ["--speed", "1.2"], ["--limit", "0"],
                     ["--jobs", "16"], ["--retries", "10"], ["--timeout", "2.5"],
                     ["--previous-text", "   "]):
            with self.subTest(args=args):
                result = self.run_lyrane(["--vtt", self.vtt, "--dry-run", *args])
                self.assertExitStatus(result, 0)

    def test_parser_errors_and_standard_options(self):
        result = self.run_lyrane(["--bogus"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "lyrane: Unknown option 'bogus'.\n")
        result = self.run_lyrane(["--vtt"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "lyrane: Missing value after '--vtt'.\n")

        version = self.run_lyrane(["--version"])
        self.assertExitStatus(version, 0)
        self.assertEqual(version.stdout, "lyrane 0.2.10\n")

        help_text = self.run_lyrane(["--help"])
        self.assertExitStatus(help_text, 0)
        self.assertIn("Convert VTT subtitles to speech using ElevenLabs", help_text.stdout)
        names = ["--help", "--version", "--vtt <file>", "--say <text>", "--text <file>",
                 "-d, --voice <name>", "-k, --key-file <file>", "-t, --temp-dir <dir>",
                 "-l, --limit <count>", "-p, --padding <duration>", "-a, --autopad",
                 "--autospeed", "-S, --speed <value>", "-o, --output <file>", "-n, --dry-run",
                 "--no-padding", "--cache-only", "--batch <files>", "-s, --s3-bucket <bucket>",
                 "-f, --format <format>", "--previous-text <text>",
                 "--previous-text-file <file>", "--next-text <text>",
                 "--next-text-file <file>", "-j, --jobs <count>", "--retries <count>",
                 "--timeout <seconds>", "--encoding <name>"]
        positions = [help_text.stdout.find(name) for name in names]
        self.assertNotIn(-1, positions, dict(zip(names, positions)))
        self.assertEqual(positions, sorted(positions), "options listed out of table order")


class NoWorkExitsTest(LyraneTestCase):
    def test_cache_only_prints_the_directory_without_creating_it(self):
        result = self.run_lyrane(["--cache-only"])
        self.assertExitStatus(result, 0)
        expected = os.path.join(self.home, "tmp", "lyrane-audio")
        self.assertEqual(result.stdout, expected + "\n")
        self.assertEqual(result.stderr, "")
        self.assertFalse(os.path.exists(expected))

        custom = self.path("somewhere", "else")
        result = self.run_lyrane(["--cache-only", "--temp-dir", custom, "--say", "x",
                                  "--vtt", "y"])
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stdout, custom + "\n")
        self.assertFalse(os.path.exists(custom))

    def test_batch_without_entries_is_rejected(self):
        for value in (",", " , ,"):
            with self.subTest(value=value):
                result = self.run_lyrane(["--batch", value])
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, "--batch needs at least one subtitle file\n")


class ListingTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, WORKED_EXAMPLE)

    def test_listing_matches_the_worked_example(self):
        result = self.run_lyrane(["--vtt", self.vtt, "--dry-run", "--limit", "2"])
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stdout, WORKED_LISTING)
        # Standard error holds only the price of the listed cues.
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertTrue(result.stderr.startswith("Estimate: 2 cues, "), result.stderr)

    def test_limit_zero_or_large_lists_every_cue(self):
        for limit in ("0", "3", "50"):
            with self.subTest(limit=limit):
                result = self.run_lyrane(["--vtt", self.vtt, "-n", "-l", limit])
                self.assertExitStatus(result, 0)
                self.assertEqual(result.stdout.count("Cue #"), 3)
                self.assertIn("Cue #3:\n  Start Time: 00:01:10.000\n", result.stdout)

    def test_dry_run_needs_no_key_and_creates_no_cache(self):
        cache = self.path("cache")
        result = self.run_lyrane(["--vtt", self.vtt, "--dry-run", "--temp-dir", cache,
                                  "--key-file", self.path("no-key"), "--s3-bucket", "b"])
        self.assertExitStatus(result, 0)
        self.assertFalse(os.path.exists(cache))
        self.assertFalse(os.path.exists(os.path.join(self.home, "tmp", "lyrane-audio")))

    def test_odd_durations_and_wrapping_times(self):
        vtt = self.path("odd.vtt")
        write_vtt(vtt, [(5000, 5000, "Zero."), (9000, 8000, "Backwards."),
                        (90000000, 90001500, "Past a day.")])
        result = self.run_lyrane(["--vtt", vtt, "--dry-run"])
        self.assertExitStatus(result, 0)
        self.assertIn("  Duration: 0 ms\n", result.stdout)
        self.assertIn("  Duration: -1000 ms\n", result.stdout)
        self.assertIn("  Start Time: 25:00:00.000\n  End Time: 25:00:01.500\n"
                      "  Duration: 1500 ms\n", result.stdout)

    def test_files_without_cues(self):
        header_only = self.write_text("header.vtt", "WEBVTT\n\n")
        result = self.run_lyrane(["--vtt", header_only, "--dry-run"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "VTT file contains no cues\n")

        no_header = self.write_text("plain.vtt", "00:00:01.000 --> 00:00:02.000\nHi\n")
        result = self.run_lyrane(["--vtt", no_header, "--dry-run"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "failed to parse VTT file: VTT file missing WEBVTT header "
                                        "(not an SRT file either)\n")

        bad_time = self.write_text("bad.vtt", "WEBVTT\n\n00:61:00.000 --> 00:62:00.000\nHi\n")
        result = self.run_lyrane(["--vtt", bad_time, "--dry-run"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "VTT file contains no cues (no timing line could be "
                                        "read; 1 unusable, the first at line 3: invalid minutes "
                                        "in timestamp: 00:61:00.000)\n")


class BadInputTest(LyraneTestCase):
    def check_clean_failure_or_listing(self, path):
        result = self.run_lyrane(["--vtt", path, "--dry-run"], timeout=60)
        self.assertIn(result.returncode, (0, 1), result.stderr[-500:])
        if result.returncode == 1:
            self.assertEqual(result.stderr.count("\n"), 1, result.stderr[-500:])
            self.assertEqual(result.stdout, "")
        return result

    def test_garbage_inputs(self):
        garbage = self.path("garbage.vtt")
        with open(garbage, "wb") as f:
            f.write(bytes((i * 7919) % 256 for i in range(200000)))
        self.check_clean_failure_or_listing(garbage)

        invalid_utf8 = self.path("latin1.vtt")
        with open(invalid_utf8, "wb") as f:
            f.write(b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nCaf\xe9 \xff\xfe ok\n")
        result = self.check_clean_failure_or_listing(invalid_utf8)
        self.assertEqual(result.returncode, 0)
        self.assertIn("ok", result.stdout)

        result = self.check_clean_failure_or_listing(self.tmp)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("failed to parse VTT file: failed to open VTT "
                                                 "file: "), result.stderr)

        result = self.check_clean_failure_or_listing(self.path("missing.vtt"))
        self.assertEqual(result.returncode, 1)

    def test_large_file(self):
        big = self.path("big.vtt")
        with open(big, "w") as f:
            f.write("WEBVTT\n\n")
            line = "All work and no play makes a long subtitle file. " * 20 + "\n"
            while f.tell() < 50 * 1024 * 1024:
                f.write(line)
        self.check_clean_failure_or_listing(big)


if __name__ == "__main__":
    unittest.main()
