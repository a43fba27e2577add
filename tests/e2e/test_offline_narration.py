"""lyrane narrating through lyrane-speechd, and the README's main job run as a new user would."""

import json
import math
import os
import re
import subprocess
import unittest

from support import LyraneTestCase, read_wav, source_dir, write_vtt
from test_speechd import Service

RATE = 44100
CUES = [
    (1000, 3000, "The lighthouse keeper climbs the stairs."),
    (3200, 3600, "She counts every single step out loud, all ninety seven of them."),
    (6000, 8000, "Ships pass far out in the dark."),
    (8500, 10000, "Good night."),
]
PLACEMENT = re.compile(r"^Segment (\d+): desired (-?\d+) ms, actual (\d+) ms - (\d+) ms$")


def rms(samples):
    return math.sqrt(sum(v * v for v in samples) / len(samples)) if samples else 0.0


def placements(stderr):
    found = []
    for line in stderr.splitlines():
        match = PLACEMENT.match(line)
        if match:
            found.append(tuple(int(g) for g in match.groups()[1:]))
    return found


def probe(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "stream=codec_name,sample_rate,channels:format=duration",
                             "-of", "json", path], capture_output=True, text=True, check=True)
    info = json.loads(result.stdout)
    return info["streams"][0], float(info["format"]["duration"])


class OfflineNarrationTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = Service()
        self.addCleanup(self.service.stop)
        self.env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, CUES)
        self.cache = self.path("cache")

    def narrate(self, output, *extra):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache, "--output", output,
                                "--autopad", *extra], env=self.env)

    def test_speech_lands_where_the_report_says(self):
        out = self.path("talk.wav")
        result = self.narrate(out)
        self.assertExitStatus(result, 0)
        padding = int(re.search(r"padding of (\d+) ms", result.stderr).group(1))
        self.assertGreater(padding, 0, "the long second cue should need padding")
        rate, channels, samples = read_wav(out)
        self.assertEqual((rate, channels), (RATE, 1))
        self.assertEqual(len(samples), round((CUES[-1][1] + padding) * RATE / 1000))

        spots = placements(result.stderr)
        self.assertEqual(len(spots), len(CUES))
        self.assertEqual([s[0] for s in spots], [c[0] for c in CUES])
        self.assertGreater(spots[2][1], spots[2][0], "the overrun should delay the third clip")
        first_start = spots[0][1] * RATE // 1000
        self.assertEqual(max(abs(v) for v in samples[:first_start]), 0)
        window = RATE * 300 // 1000
        for desired, actual, end in spots:
            start = actual * RATE // 1000
            self.assertGreater(rms(samples[start:start + window]), 300,
                               "no speech right after %d ms" % actual)
            self.assertLessEqual(end * RATE // 1000, len(samples))

    def test_mp3_output_and_a_rerun_from_the_cache(self):
        out = self.path("talk.mp3")
        first = self.narrate(out, "--jobs", "3")
        self.assertExitStatus(first, 0)
        padding = int(re.search(r"padding of (\d+) ms", first.stderr).group(1))
        stream, duration = probe(out)
        self.assertEqual((stream["codec_name"], int(stream["sample_rate"]), stream["channels"]),
                         ("mp3", RATE, 1))
        self.assertAlmostEqual(duration, (CUES[-1][1] + padding) / 1000, delta=0.06)

        again = self.narrate(self.path("again.mp3"))
        self.assertExitStatus(again, 0)
        self.assertNotIn("Generating", again.stderr)
        self.assertEqual(again.stderr.count("found in cache"), len(CUES))
        self.assertEqual(placements(again.stderr), placements(first.stderr))
        code, log = self.service.stop()
        self.assertEqual(code, 0)
        self.assertEqual(log.count("POST /v1/text-to-speech/"), len(CUES), log)


class ReadmeMainJobTest(LyraneTestCase):
    def test_demo_command_narrates_the_example(self):
        demo = os.path.join(source_dir(), "scripts", "demo")
        result = subprocess.run([demo, self.tmp], capture_output=True, text=True, timeout=900,
                                env={k: v for k, v in os.environ.items()
                                     if k not in ("ELEVENLABS_API_KEY", "LYRANE_API_URL",
                                                  "LYRANE_S3_BUCKET")})
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        output = os.path.join(self.tmp, "lighthouse.mp3")
        self.assertIn("Narration written to: " + output, result.stdout)
        self.assertIn("to avoid collision", result.stderr)
        stream, duration = probe(output)
        self.assertEqual((stream["codec_name"], int(stream["sample_rate"]), stream["channels"]),
                         ("mp3", RATE, 1))
        self.assertGreaterEqual(duration, 27.9)  # the example's last cue ends at 28 s


if __name__ == "__main__":
    unittest.main()
