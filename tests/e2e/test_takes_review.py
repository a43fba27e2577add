"""Takes, flags and the review page from the command line: a retake asks for one cue only and
changes only its span, a take is chosen again without a request, choices travel through the
mirror, planted clips are flagged, and the page opens in headless Chromium."""

import json
from array import array
import os
import pty
import re
import shutil
import subprocess
import unittest

from report_schema import assert_valid_report
from s3_support import MotoS3, aws_env, create_bucket, real_aws_available
from support import LyraneTestCase, Response, lyrane_bin, pcm_tone, read_wav, write_vtt

CUES = [(0, 1500, "First line."), (2000, 3500, "Second line."), (4000, 5500, "Third line.")]
TAKE2_SEED = 0x9E3779B9  # the seed of take 2 without --seed
RATE = 44100


def seeded_tone(record, index):
    """A tone whose pitch follows the request's seed: a new take sounds different."""
    seed = (record.json or {}).get("seed", 0)
    return Response(headers={"Content-Type": "audio/pcm"},
                    body=pcm_tone(1000, freq=300 + seed % 400, amplitude=0.5))


def read_text(path):
    with open(path, encoding="utf-8") as source:
        return source.read()


def span(samples, start_ms, end_ms):
    return samples[start_ms * RATE // 1000:end_ms * RATE // 1000]


class Takes(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.vtt = write_vtt(self.path("talk.vtt"), CUES)
        self.cache = self.path("cache")
        self.service = self.start_service(responder=seeded_tone)

    def narrate(self, *extra, output="out.wav", env=None):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache, "--output",
                                self.path(output)] + list(extra),
                               env=env or self.service_env(self.service))

    def test_retake_then_choose_the_first_take_again(self):
        self.assertExitStatus(self.narrate(output="first.wav"), 0)
        self.service.reset()
        retake = self.narrate("--retake", "2", "--report", self.path("r.json"),
                              output="retake.wav")
        self.assertExitStatus(retake, 0)
        self.assertEqual([r.json.get("seed") for r in self.service.requests], [TAKE2_SEED])
        self.assertEqual(self.service.requests[0].text, "Second line.")
        self.assertIn("Cue 2 now uses take 2 of 2\n", retake.stderr)
        before = read_wav(self.path("first.wav"))[2]
        after = read_wav(self.path("retake.wav"))[2]
        self.assertEqual(len(before), len(after))
        # Only the second cue's span changed.
        self.assertNotEqual(span(before, 2000, 3000), span(after, 2000, 3000))
        self.assertEqual(span(before, 0, 2000), span(after, 0, 2000))
        self.assertEqual(span(before, 3000, 6000), span(after, 3000, 6000))
        report = json.loads(read_text(self.path("r.json")))
        assert_valid_report(self, report)
        self.assertEqual([(c["take"], c["takes"]) for c in report["cues"]],
                         [(1, 1), (2, 2), (1, 1)])

        # Any later run plays take 2; the listing and the captions follow it.
        self.service.reset()
        listing = self.narrate("--dry-run")
        self.assertIn("  Text: Second line.\n  Take: 2 of 2\n", listing.stdout)
        self.assertEqual(listing.stdout.count("  Take:"), 1)
        again = self.narrate("--take", "2=1", output="again.wav")
        self.assertExitStatus(again, 0)
        self.assertEqual(self.service.request_count, 0)
        self.assertIn("Cue 2 now uses take 1 of 2\n", again.stderr)
        self.assertEqual(read_wav(self.path("again.wav"))[2], before)
        self.assertIn("  Take: 1 of 2\n", self.narrate("--dry-run").stdout)

        # A retake of a retaken cue is take 3, priced by the dry run's estimate.
        priced = self.narrate("--dry-run", "--retake", "2")
        self.assertIn("  Take: 3 of 3\n", priced.stdout)
        self.assertIn("; 1 to synthesize: 12 characters", priced.stderr)
        self.assertEqual(self.service.request_count, 0)

    def test_bad_input_is_refused_before_any_request(self):
        self.assertExitStatus(self.narrate("--retake", "2", output="x.wav"), 0)
        self.service.reset()
        # clang-format off
        rows = [
            (["--retake", "4"], "Cue 4 is not in the run, which narrates 3 cues\n"),
            (["--retake", "1", "--limit", "1", "--take", "2=1"],
             "Cue 2 is not in the run, which narrates 1 cues\n"),
            (["--retake", "3-2"], "--retake must list cue numbers and ranges, such as 17 or "
                                  "3,17,23-25\n"),
            (["--retake", "1,,2"], "--retake must list cue numbers and ranges, such as 17 or "
                                   "3,17,23-25\n"),
            (["--take", "2=1,2=2"], "--take must list a take for each cue once, such as 17=1 "
                                    "or 17=1,23=3\n"),
            (["--take", "2=3"], "Cue 2 has no take 3; it has takes 1 to 2\n"),
            (["--take", "1=2"], "Cue 1 has no take 2; it has only take 1\n"),
            (["--retake", "1", "--take", "1=1"], "Cue 1 is given to both --retake and --take\n"),
        ]
        for extra, message in rows:
            with self.subTest(extra=extra):
                result = self.narrate(*extra, output="refused.wav")
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, message)
                self.assertEqual(self.service.request_count, 0)
                self.assertFalse(os.path.exists(self.path("refused.wav")))
        for mode in (["--say", "Hello"], ["--batch", self.vtt]):
            result = self.run_lyrane(mode + ["--retake", "1"], env=self.service_env(self.service))
            self.assertExitStatus(result, 1)
            self.assertEqual(result.stderr, "--retake and --take are only supported with --vtt\n")

    def test_unreadable_choice_is_named_and_take_one_used(self):
        self.assertExitStatus(self.narrate("--retake", "1"), 0)
        record = [n for n in os.listdir(self.cache) if n.endswith(".take")]
        self.assertEqual(len(record), 1)
        path = os.path.join(self.cache, record[0])
        with open(path) as record_file:
            self.assertEqual(record_file.read(), "chosen 2 of 2\n")
        with open(path, "w") as damaged:
            damaged.write("chosen 5 of 2\n")
        result = self.narrate("--dry-run")
        self.assertIn("Cannot read the take chosen for cue 1 (%s: take 5 of 2 does not exist); "
                      "using take 1\n" % path, result.stderr)
        self.assertNotIn("  Take:", result.stdout)


@unittest.skipUnless(real_aws_available() and shutil.which("moto_server"), "needs aws and moto")
class TakesOnTheMirror(LyraneTestCase):
    def test_choice_follows_the_mirror_to_another_cache(self):
        vtt = write_vtt(self.path("talk.vtt"), CUES)
        service = self.start_service(responder=seeded_tone)
        with MotoS3() as s3:
            env = aws_env(self.tmp, s3.endpoint)
            create_bucket(env, "takes")
            env.update(self.service_env(service))

            def narrate(machine, *extra):
                result = self.run_lyrane(["--vtt", vtt, "--temp-dir", self.path(machine),
                                          "--s3-bucket", "takes", "--output",
                                          self.path(machine + ".wav")] + list(extra), env=env)
                self.assertExitStatus(result, 0)
                return read_wav(self.path(machine + ".wav"))[2]

            first = narrate("a")
            retaken = narrate("a", "--retake", "3")
            self.assertNotEqual(first, retaken)
            service.reset()
            self.assertEqual(narrate("b"), retaken)
            self.assertEqual(narrate("a", "--take", "3=1"), first)
            # b's own record still says take 2: the mirror's newer choice wins.
            self.assertEqual(narrate("b"), first)
            self.assertEqual(service.request_count, 0)


def planted(record, index):
    """Clips that look wrong, by their text."""
    text = record.json["text"]
    tone = pcm_tone(900, amplitude=0.5)
    if text == "Loud.":
        tone = array("h", ([32767] * 220 + [-32767] * 220) * 90).tobytes()  # full scale
    elif text == "Gap.":
        tone = pcm_tone(400, amplitude=0.5) + bytes(2 * RATE * 3 // 2) + pcm_tone(400)
    elif text == "Long.":
        tone = pcm_tone(3000, amplitude=0.5)
    return Response(headers={"Content-Type": "audio/pcm"}, body=tone)


class FlagsAndReview(LyraneTestCase):
    CUES = [(0, 1000, "Fine one."), (1000, 2000, "Loud."), (2000, 3000, "Long."),
            (3000, 4000, "Pushed."), (6000, 9000, "Gap."), (9500, 10500, "Fine two.")]

    def setUp(self):
        super().setUp()
        self.vtt = write_vtt(self.path("flags.vtt"), self.CUES)
        self.env = self.service_env(self.start_service(responder=planted))

    def run_flags(self, *extra):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.path("cache"), "--autopad",
                                "--output", self.path("flags.wav")] + list(extra), env=self.env)

    def test_planted_clips_are_flagged_in_the_report_and_the_summary(self):
        result = self.run_flags("--report", self.path("r.json"))
        self.assertExitStatus(result, 0)
        # The long clip and the one with a gap also read far slower than the others.
        self.assertIn("Flagged: 4 of 6 cues (1 pushed later, 1 longer than the slot, 2 slow, "
                      "1 with a long pause, 1 at full scale); see --review\n", result.stderr)
        report = json.loads(read_text(self.path("r.json")))
        assert_valid_report(self, report)
        flags = {c["text"]: {f["flag"]: f["value"] for f in c["flags"]} for c in report["cues"]}
        self.assertEqual(set(flags["Loud."]), {"full_scale"})
        self.assertEqual(set(flags["Long."]), {"longer_than_slot", "slow_speech"})
        self.assertEqual(set(flags["Gap."]), {"pause_inside", "slow_speech"})
        self.assertAlmostEqual(flags["Long."]["longer_than_slot"], 2000, delta=30)
        self.assertEqual(set(flags["Pushed."]), {"pushed_later"})
        self.assertAlmostEqual(flags["Gap."]["pause_inside"], 1500, delta=20)
        self.assertEqual(flags["Fine one."], {})
        quiet = self.run_lyrane(["--vtt", write_vtt(self.path("ok.vtt"), self.CUES[:1]),
                                 "--temp-dir", self.path("cache"), "--output",
                                 self.path("ok.wav")], env=self.env)
        self.assertNotIn("Flagged", quiet.stderr)

    @unittest.skipUnless(shutil.which("chromium"), "needs chromium (scripts/install-deps)")
    def test_review_page_in_a_browser(self):
        page = self.path("review", "page.html")
        os.makedirs(os.path.dirname(page))
        result = self.run_flags("--retake", "1", "--review", page)
        self.assertExitStatus(result, 0)
        self.assertIn("see %s\n" % page, result.stderr)
        html = read_text(page)
        self.assertNotRegex(html, r"(src|href)=\"(https?:)?//")
        dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                              "--dump-dom", "file://" + page], capture_output=True, text=True,
                             timeout=120).stdout
        rows = re.findall(r'<tr id="cue-(\d+)" class="cue( flagged)?">', dom)
        self.assertEqual([(int(n), bool(f)) for n, f in rows],
                         [(1, False), (2, True), (3, True), (4, True), (5, True), (6, False)])
        self.assertEqual(dom.count('class="slot"'), 6)
        self.assertEqual(len(re.findall(r'<rect class="clip[^"]*flagged', dom)), 4)
        self.assertIn('class="envelope"', dom)
        self.assertIn("<td>2 of 2</td>", dom)
        for source in re.findall(r'<audio controls="" preload="none" src="([^"]+)"', dom):
            self.assertTrue(os.path.exists(os.path.join(os.path.dirname(page), source)))
        self.assertIn("--take 1=1</code>", dom)
        self.assertRegex(dom, r"<code>\S+lyrane --vtt \S+ .*--retake 6</code>")
        shot = os.environ.get("LYRANE_REVIEW_SCREENSHOT")
        if shot:
            subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                            "--window-size=1400,1000", "--screenshot=" + shot, "file://" + page],
                           capture_output=True, timeout=120)

    def test_review_page_of_a_dry_run_and_a_page_that_cannot_be_written(self):
        dry = self.run_flags("--dry-run", "--review", self.path("dry.html"))
        self.assertExitStatus(dry, 0)
        html = read_text(self.path("dry.html"))
        self.assertEqual(html.count('<tr id="cue-'), 6)
        self.assertNotIn("<audio", html)
        failed = self.run_flags("--review", self.path("missing", "page.html"))
        self.assertExitStatus(failed, 1)
        self.assertIn("failed to write the review page", failed.stderr)
        self.assertTrue(os.path.exists(self.path("flags.wav")))


class ProgressOnATerminal(LyraneTestCase):
    def test_status_line_replaces_the_clip_lines_on_a_terminal_only(self):
        vtt = write_vtt(self.path("talk.vtt"), CUES)
        env = self.service_env(self.start_service())
        for extra, status in (([], True), (["--progress", "lines"], False)):
            with self.subTest(extra=extra):
                main, secondary = pty.openpty()
                args = ["--vtt", vtt, "--temp-dir", self.path("cache" + str(status)),
                        "--no-padding"] + extra
                full = {k: v for k, v in os.environ.items()}
                full.update(env)
                full["HOME"] = self.home
                proc = subprocess.Popen([lyrane_bin()] + args,
                                        stderr=secondary, stdout=subprocess.DEVNULL, env=full)
                os.close(secondary)
                output = b""
                while True:
                    try:
                        chunk = os.read(main, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    output += chunk
                self.assertEqual(proc.wait(timeout=60), 0)
                os.close(main)
                text = output.decode()
                self.assertEqual("\x1b[K" in text, status)
                self.assertEqual("Created segment 1" in text, not status)
                if status:
                    self.assertIn("Cues 3/3 (cache 0, mirror 0, service 3), 34 characters "
                                  "billed", text)


if __name__ == "__main__":
    unittest.main()
