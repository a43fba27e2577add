"""The three ways in (a subtitle file, a batch, one text) share one pipeline: each row runs a mode
through to its output, or to a refused clip, and checks the outcome the same way: exit status,
what was billed, and a report whose failure names the cue and says what the console said."""

import json
import os
import subprocess
import unittest

from report_schema import assert_valid_report
from support import LyraneTestCase, error_response, write_vtt

CUES = [(0, 900, "One clip first."), (1000, 1900, "Then FAIL here."), (2000, 2900, "Last one.")]


def refuse_marked(record, index):
    """The fake service's answer: a refusal for any text marked FAIL, speech otherwise."""
    if "FAIL" in record.text:
        return error_response(401, "marked text refused")
    return None


class PipelineModesTest(LyraneTestCase):
    def run_mode(self, args, report):
        service = self.start_service(responder=refuse_marked)
        return self.run_lyrane(args + ["--temp-dir", self.path("cache"), "--report", report],
                               env=self.service_env(service))

    def test_each_mode_to_its_output_or_its_failure(self):
        good = write_vtt(self.path("good.vtt"), [CUES[0], CUES[2]])
        bad = write_vtt(self.path("bad.vtt"), CUES)
        # mode, arguments, failing cue (None: the run finishes), failure line's prefix, output
        # clang-format off
        rows = [
            ("subtitles", ["--vtt", good, "--output", self.path("s.wav")], None, None, "s.wav"),
            ("batch", ["--batch", good, "--output", "x.mp3"], None, None, "good.mp3"),
            ("single text", ["--say", "One clip first.", "--output", self.path("t.mp3")], None, None, "t.mp3"),
            ("subtitles", ["--vtt", bad, "--output", self.path("f.wav")], 2, "Failed to generate audio for segment 2: ", None),
            ("batch", ["--batch", good + "," + bad, "--output", "y.wav"], 2, "Failed to generate audio for segment 2: ", None),
            ("single text", ["--say", "FAIL now", "--output", self.path("u.wav")], 1, "Failed to generate audio: ", None),
        ]
        # clang-format on
        for number, (mode, args, failing, prefix, output) in enumerate(rows):
            with self.subTest(mode=mode, failing=failing):
                report_path = self.path("report-%d.json" % number)
                result = self.run_mode(args, report_path)
                with open(report_path, encoding="utf-8") as source:
                    report = json.load(source)
                assert_valid_report(self, report)
                if failing is None:
                    self.assertExitStatus(result, 0)
                    self.assertIsNone(report["failure"])
                    written = report["outputs"][-1]["file"]
                    self.assertEqual(os.path.basename(written), output)
                    duration = subprocess.run(
                        ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                         "csv=p=0", written], capture_output=True, text=True, check=True)
                    self.assertGreater(float(duration.stdout), 0.5)
                    self.assertAlmostEqual(report["outputs"][-1]["length_ms"] / 1000,
                                           float(duration.stdout), delta=0.1)
                    continue
                self.assertExitStatus(result, 1)
                failure = report["failure"]
                self.assertEqual(failure["cue"], failing)
                self.assertIn(prefix + failure["message"] + "\n", result.stderr)
                if mode == "batch":
                    self.assertEqual(failure["input"], bad)
                    self.assertIn("Batch stopped at file 2/2: " + bad, result.stderr)
                # The clips made before the refusal were paid for, and said so last.
                billed = [line for line in result.stderr.splitlines() if line.startswith("Billed:")]
                made = sum(1 for cue in report["cues"] if cue["source"] == "service")
                self.assertEqual(len(billed), 1 if made else 0, result.stderr)

    def test_a_dry_run_pays_for_nothing_in_any_mode(self):
        vtt = write_vtt(self.path("talk.vtt"), [CUES[0]])
        for args in (["--vtt", vtt], ["--batch", vtt], ["--say", CUES[0][2]]):
            with self.subTest(mode=args[0]):
                service = self.start_service()
                result = self.run_lyrane(args + ["--dry-run", "--temp-dir", self.path("c")],
                                         env=self.service_env(service))
                self.assertExitStatus(result, 0)
                self.assertIn("Estimate: 1 cue, %d characters" % len(CUES[0][2]), result.stderr)
                self.assertEqual((service.request_count, service.account_reads), (0, 0))


if __name__ == "__main__":
    unittest.main()
