"""An output narrated again through lyrane-speechd after a retake, a take choice and a changed
cue is rewritten only where it changed: a WAV ends byte for byte as a full render of the same
choices into a new file, an MP3 decodes as one to the codec's noise."""

import array
import math
import os
import re
import subprocess
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

    def narrate(self, output, *extra):
        result = self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache, "--output",
                                  output, "--padding", "3s", *extra], env=self.env)
        self.assertExitStatus(result, 0)
        return result

    def check_steps(self, ext, *extra_options):
        """A retake, a take choice, a changed text and no change, each patched in place and
        compared with the same choices rendered whole into a file of its own."""
        write_vtt(self.vtt, CUES)
        output = self.path("out." + ext)
        self.assertNotRegex(self.narrate(output, *extra_options).stderr, REWROTE)
        self.assertTrue(os.path.exists(self.path(".out.%s.render" % ext)))
        changed_text = CUES[:3] + [(7500, 9300, "Boats slip out to sea.")] + CUES[4:]
        # (step, options, cues rewritten at least)
        steps = [("retake", ["--retake", "3"], 1), ("take", ["--take", "3=1"], 1),
                 ("text", [], 3), ("nothing", [], 0)]
        for step, extra, least in steps:
            with self.subTest(ext=ext, step=step):
                if step == "text":
                    write_vtt(self.vtt, changed_text)
                before = read_bytes(output)
                result = self.narrate(output, *extra_options, *extra)
                said = REWROTE.findall(result.stderr)
                self.assertEqual(len(said), 1, result.stderr)
                rewritten, cues, path = said[0]
                self.assertEqual((int(cues), path), (len(CUES), output))
                self.assertGreaterEqual(int(rewritten), least)
                self.assertLessEqual(int(rewritten), least + 1 if least else 0)
                after = read_bytes(output)
                self.assertEqual(after != before, least > 0)
                self.assertEqual(len(after), len(before))
                fresh = self.path("fresh-%s.%s" % (step, ext))
                self.assertNotRegex(self.narrate(fresh, *extra_options).stderr, REWROTE)
                self.assertFalse(os.path.exists(output + ".journal"))
                yield step, before, after, fresh

    def test_wav_changes_rewrite_their_spans_as_a_full_render_would(self):
        for _, _, after, fresh in self.check_steps("wav"):
            self.assertEqual(after, read_bytes(fresh))

    def test_mp3_changes_reencode_only_the_frames_around_them(self):
        # A long tail keeps the frames encoded again well under half the file.
        for step, before, after, fresh in self.check_steps("mp3", "--padding", "40s"):
            if before != after:
                # The frames of the tail keep their bytes.
                self.assertEqual(before[-len(before) // 3:], after[-len(after) // 3:])
            decoded, reference = decode_mp3(self.path("out.mp3")), decode_mp3(fresh)
            self.assertEqual(len(decoded), len(reference))
            # Every cue sounds as a full encode of the same choices does, to the codec's noise,
            # and a retaken one not as the take it replaced.
            self.assertLess(rms_difference(decoded, reference), 100)
            if step == "retake":
                start, end = 5000 * 44100 // 1000, 6800 * 44100 // 1000
                old = decode_mp3_bytes(self, before)
                self.assertGreater(rms_difference(old[start:end], reference[start:end]), 1000)


def decode_mp3(path):
    result = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ac", "1", "-"],
                            capture_output=True, check=True)
    if result.stderr:
        raise AssertionError(result.stderr.decode())
    return array.array("h", result.stdout)


def decode_mp3_bytes(test, data):
    path = test.path("before.mp3")
    with open(path, "wb") as out:
        out.write(data)
    return decode_mp3(path)


def rms_difference(a, b):
    return math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b)) / max(1, len(a)))


if __name__ == "__main__":
    unittest.main()
