"""MP3 answers at another rate or channel count than the format names: they decode, so they are
cached as sent and used, down-mixed and resampled when the timeline is made."""

import json
import math
import os
import shutil
import subprocess
import unittest

from support import DEFAULT_VOICE_ID, LyraneTestCase, Response, cache_key, read_wav

TEXT = "An answer at another rate."
SECONDS = 1.5


def stereo_mp3_at_48k():
    """Two different tones, one a channel, so that a down-mix is heard in the result."""
    done = subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         "aevalsrc=0.4*sin(2*PI*440*t)|0.1*sin(2*PI*660*t):s=48000:d=%g" % SECONDS, "-c:a",
         "libmp3lame", "-b:a", "128k", "-f", "mp3", "pipe:1"], capture_output=True, check=True)
    return done.stdout


def rms(samples):
    return math.sqrt(sum(v * v for v in samples) / len(samples))


def probe(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "stream=sample_rate,channels:format=duration", "-of", "json", path],
                            capture_output=True, text=True, check=True)
    info = json.loads(result.stdout)
    stream = info["streams"][0]
    return int(stream["sample_rate"]), stream["channels"], float(info["format"]["duration"])


@unittest.skipUnless(shutil.which("ffmpeg") and shutil.which("ffprobe"), "ffmpeg makes the MP3")
class OtherRateMp3AnswerTest(LyraneTestCase):
    def test_48k_stereo_answer_is_cached_and_resampled(self):
        answer = stereo_mp3_at_48k()
        self.assertEqual(probe(self.write_answer(answer))[:2], (48000, 2))
        service = self.start_service(responder=lambda record, index: Response(
            headers={"Content-Type": "audio/mpeg"}, body=answer))
        cache = self.path("cache")
        for output in ("say.wav", "say.mp3"):
            with self.subTest(output):
                result = self.run_lyrane(["--say", TEXT, "--format", "mp3_44100_128",
                                          "--temp-dir", cache, "--output", self.path(output)],
                                         env=self.service_env(service))
                self.assertExitStatus(result, 0)
                rate, channels, duration = probe(self.path(output))
                self.assertEqual((rate, channels), (44100, 1))
                # An MP3 output carries its encoder's delay and last frame's padding.
                self.assertAlmostEqual(duration, SECONDS, delta=0.1)
        # The second run is served from the cache, which holds the answer as it was sent.
        self.assertEqual(service.request_count, 1)
        clip = os.path.join(cache, cache_key(TEXT, "", "", DEFAULT_VOICE_ID, 1.0) + ".mp3")
        with open(clip, "rb") as kept:
            self.assertEqual(kept.read(), answer)
        # ffmpeg's own mono 44.1 kHz decoding of the answer is the meter for the WAV output.
        metered = self.path("metered.wav")
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-i", clip, "-ac", "1",
                        "-ar", "44100", metered], check=True)
        expected = read_wav(metered)[2]
        samples = read_wav(self.path("say.wav"))[2]
        self.assertAlmostEqual(len(samples), len(expected), delta=1152)
        self.assertAlmostEqual(rms(samples) / rms(expected), 1.0, delta=0.03)

    def write_answer(self, answer):
        path = self.path("answer.mp3")
        with open(path, "wb") as out:
            out.write(answer)
        return path


if __name__ == "__main__":
    unittest.main()
