"""Costs and records of runs against lyrane-speechd: the dry run's estimate, the credit check,
the budget, billed figures, the JSON report and captions retimed to the narration."""

import json
import re
import unittest

from report_schema import assert_valid_report
from support import LyraneTestCase, write_vtt
from test_speechd import SPEECHD, Service

CUES = [
    (0, 500, "The first cue runs long past its end."),
    (600, 1000, "Second."),
    (1100, 1500, "Third cue here."),
    (3000, 4000, "Fourth and last."),
]
CHARS = [len(text) for _, _, text in CUES]


def load(path):
    with open(path, encoding="utf-8") as report:
        return json.load(report)


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class CostsAndReportsTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.vtt = write_vtt(self.path("talk.vtt"), CUES)
        self.cache = self.path("cache")

    def serve(self, *args):
        service = Service(*args)
        self.addCleanup(lambda: service.proc.poll() is None and service.stop())
        return service, {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": "k"}

    def lyrane(self, env, *args):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache, *args], env=env)

    def test_estimate_credit_check_budget_billing_and_reports(self):
        service, env = self.serve("--credits", "1000")
        # Half the cache: the first two cues, then the dry run prices the rest exactly.
        half = self.lyrane(env, "--limit", "2", "--no-padding")
        self.assertExitStatus(half, 0)
        self.assertIn("Billed: %d characters for 2 new clips\n" % sum(CHARS[:2]), half.stderr)
        listing = self.lyrane({}, "--dry-run")
        dry = self.lyrane({}, "--dry-run", "--report", self.path("dry.json"))
        self.assertEqual(dry.stdout, listing.stdout)
        # --limit keeps each cue's neighbours as context, so cues 1 and 2 are the same clips.
        rest = sum(CHARS[2:])
        self.assertIn("Estimate: 4 cues, %d characters; 2 cues cached; 2 to synthesize: %d "
                      "characters, about %d credits with eleven_multilingual_v2\n"
                      % (sum(CHARS), rest, rest), dry.stderr)
        # Flash and Turbo bill half a credit a character, rounded up request by request; the
        # model is part of the key, so nothing is cached for it yet.
        flash = self.lyrane({}, "--dry-run", "--model", "eleven_flash_v2_5")
        self.assertIn("Estimate: 4 cues, %d characters; 0 cues cached; 4 to synthesize: %d "
                      "characters, about %d credits with eleven_flash_v2_5\n"
                      % (sum(CHARS), sum(CHARS), sum((n + 1) // 2 for n in CHARS)), flash.stderr)
        report = load(self.path("dry.json"))
        assert_valid_report(self, report)
        self.assertTrue(report["dry_run"])
        # Each cue's source is what the estimate counted: the two cached clips come from the cache.
        self.assertEqual([c["source"] for c in report["cues"]], ["cache"] * 2 + ["pending"] * 2)

        # Over budget: refused before any request.
        over = self.lyrane(env, "--output", self.path("o.wav"), "--max-credits", str(rest - 1))
        self.assertExitStatus(over, 1)
        self.assertIn("--max-credits allows %d" % (rest - 1), over.stderr)
        bad = self.lyrane(env, "--output", self.path("o.wav"), "--max-credits", "-3")
        self.assertExitStatus(bad, 1)

        # A full run: billed from the headers, report and captions.
        out = self.path("talk.wav")
        run = self.lyrane(env, "--output", out, "--autopad", "--max-credits", str(rest),
                          "--report", self.path("run.json"), "--captions-out",
                          self.path("out.vtt"))
        self.assertExitStatus(run, 0)
        self.assertIn("Billed: %d characters for 2 new clips\n" % rest, run.stderr)
        report = load(self.path("run.json"))
        assert_valid_report(self, report)
        self.assertEqual([c["source"] for c in report["cues"]],
                         ["cache", "cache", "service", "service"])
        self.assertEqual(report["totals"]["characters_billed"], rest)
        self.assertTrue(all(c["request_id"] for c in report["cues"][2:]))
        delayed = [c for c in report["cues"] if c["delay_ms"] > 0]
        self.assertTrue(delayed, "the long first cue should push the next ones")
        # The captions read back through lyrane's own parser to the retimed cues.
        back = self.run_lyrane(["--vtt", self.path("out.vtt"), "--dry-run"])
        self.assertExitStatus(back, 0)
        starts = re.findall(r"Start Time: (\d\d):(\d\d):(\d\d)\.(\d\d\d)", back.stdout)
        ms = [((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(f) for h, m, s, f in starts]
        self.assertEqual(ms, [c["actual_start_ms"] for c in report["cues"]])
        self.assertEqual(re.findall(r"Text: (.*)", back.stdout), [t for _, _, t in CUES])
        service.stop()

    def test_credit_check_stops_before_any_request_or_goes_on(self):
        service, env = self.serve("--credits", "10")
        refused = self.lyrane(env, "--output", self.path("o.wav"), "--report",
                              self.path("failed.json"))
        self.assertExitStatus(refused, 1)
        self.assertIn("Not enough credits: this run needs about %d, the account has 10 left\n"
                      % sum(CHARS), refused.stderr)
        report = load(self.path("failed.json"))
        assert_valid_report(self, report)
        self.assertIn("Not enough credits", report["failure"]["message"])
        _, log = service.stop()
        self.assertNotIn("POST", log)

        service, env = self.serve("--no-subscription")
        run = self.lyrane(env, "--output", self.path("o.wav"), "--autopad")
        self.assertExitStatus(run, 0)
        self.assertIn("Could not read the account's credits", run.stderr)


if __name__ == "__main__":
    unittest.main()
