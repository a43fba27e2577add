"""A WAV output narrated again through lyrane-speechd after a retake, a take choice and a changed
cue is rewritten only where it changed, and ends byte for byte as a full render of the same
choices into a new file."""

import os
import re
import unittest

from support import LyraneTestCase, write_vtt
from test_speechd import Service

CUES = [(0, 1800, "The harbour wakes."), (2500, 4300, "Gulls circle the masts."),
        (5000, 6800, "A bell rings twice."), (7500, 9300, "Boats slip their moorings."),
        (10000, 11800, "The day begins.")]
REWROTE = re.compile(r"^Rewrote (\d+) of (\d+) cues' spans in (.+)$", re.M)


def read_bytes(path):
    with open(path, "rb") as output:
        return output.read()


class OutputPatchingTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = Service()
        self.addCleanup(self.service.stop)
        self.env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}
        self.vtt = self.path("harbour.vtt")
        self.cache = self.path("cache")

    def narrate(self, name, *extra):
        result = self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache, "--output",
                                  self.path(name), "--padding", "3s", *extra], env=self.env)
        self.assertExitStatus(result, 0)
        return result

    def test_changes_rewrite_their_spans_as_a_full_render_would(self):
        write_vtt(self.vtt, CUES)
        output = self.path("out.wav")
        self.assertNotRegex(self.narrate("out.wav").stderr, REWROTE)
        self.assertTrue(os.path.exists(self.path(".out.wav.render")))
        changed_text = CUES[:3] + [(7500, 9300, "Boats slip out to sea.")] + CUES[4:]
        # (step, options, cues rewritten at least)
        steps = [("retake", ["--retake", "3"], 1), ("take", ["--take", "3=1"], 1),
                 ("text", [], 3), ("nothing", [], 0)]
        for step, extra, least in steps:
            with self.subTest(step=step):
                if step == "text":
                    write_vtt(self.vtt, changed_text)
                before = read_bytes(output)
                result = self.narrate("out.wav", *extra)
                said = REWROTE.findall(result.stderr)
                self.assertEqual(len(said), 1, result.stderr)
                rewritten, cues, path = said[0]
                self.assertEqual((int(cues), path), (len(CUES), output))
                self.assertGreaterEqual(int(rewritten), least)
                self.assertLessEqual(int(rewritten), least + 1 if least else 0)
                self.assertEqual(read_bytes(output) != before, least > 0)
                # The same choices, rendered whole into a file of its own.
                fresh = self.narrate("fresh-%s.wav" % step)
                self.assertNotRegex(fresh.stderr, REWROTE)
                self.assertEqual(read_bytes(output), read_bytes(self.path("fresh-%s.wav" % step)))
                self.assertFalse(os.path.exists(self.path(".out.wav.journal")))

    def test_mp3_outputs_are_written_whole(self):
        write_vtt(self.vtt, CUES)
        for _ in range(2):
            self.assertNotRegex(self.narrate("out.mp3").stderr, REWROTE)
        self.assertFalse(os.path.exists(self.path(".out.mp3.render")))


if __name__ == "__main__":
    unittest.main()
