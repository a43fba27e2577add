"""Timelines from a warm cache in every mode: memory that does not grow with the narration,
and loudness targets checked with ffmpeg's ebur128 filter as an independent meter."""

import array
import math
import os
import random
import re
import shutil
import subprocess
import sys
import unittest

import support
from support import DEFAULT_VOICE_ID, LyraneTestCase, cache_key, write_vtt

RATE = 44100
LOUDNESS_LINE = re.compile(r"Loudness: (-?[0-9.]+|-inf) LUFS integrated, true peak "
                           r"(-?[0-9.]+|-inf) dBTP( \(target .* not reached: .*\))?\n"
                           r"(?:Billed: [^\n]*\n)?\Z")


def speech_like(seconds, f0, level, seed):
    """Voiced harmonics under a syllable envelope with a little noise, 16-bit samples whose
    peak is `level` of full scale."""
    rng = random.Random(seed)
    n = int(seconds * RATE)
    w = 2.0 * math.pi / RATE
    values = []
    for k in range(n):
        t = k * w
        envelope = 0.55 + 0.45 * math.sin(3.7 * t)
        voiced = math.sin(f0 * t) + 0.5 * math.sin(2 * f0 * t) + 0.25 * math.sin(3 * f0 * t)
        values.append(envelope * voiced / 1.75 + 0.03 * (rng.random() - 0.5))
    peak = max(abs(v) for v in values)
    return [int(v / peak * level * 32767) for v in values]


def tone(seconds, frequency, level):
    n = int(seconds * RATE)
    step = 2.0 * math.pi * frequency / RATE
    return [int(level * 32767 * math.sin(step * k)) for k in range(n)]


def ebur128(path):
    """(integrated LUFS, true peak dBTP) of a file as ffmpeg's ebur128 filter reads it."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path,
                           "-af", "ebur128=peak=true", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    summary = done.stderr[done.stderr.rindex("Summary:"):]
    integrated = float(re.search(r"I:\s+(-?[0-9.]+) LUFS", summary).group(1))
    peak = float(re.search(r"Peak:\s+(-?[0-9.]+|-inf) dBFS", summary).group(1))
    return integrated, peak


class NarrationCache:
    """A subtitle file whose clips are all in the cache, so runs make no request."""

    def __init__(self, directory, clips, spacing_ms, extension=".wav"):
        self.cache = os.path.join(directory, "cache")
        os.makedirs(self.cache, exist_ok=True)
        self.vtt = os.path.join(directory, "narration.vtt")
        texts = ["Line %d of the narration." % (i + 1) for i in range(len(clips))]
        cues = [(i * spacing_ms, i * spacing_ms + spacing_ms - 200, texts[i])
                for i in range(len(clips))]
        write_vtt(self.vtt, cues)
        for i, source in enumerate(clips):
            key = cache_key(texts[i], texts[i - 1] if i else "",
                            texts[i + 1] if i + 1 < len(texts) else "", DEFAULT_VOICE_ID, 1.0)
            target = os.path.join(self.cache, key + extension)
            if os.path.exists(target):
                os.remove(target)
            os.link(source, target)


def sanitized(program):
    """AddressSanitizer's shadow memory and quarantine make resident size meaningless."""
    with open(program, "rb") as binary:
        return b"__asan_init" in binary.read()


def run_measured(args, home):
    """Runs lyrane as support.run_lyrane does; returns (status, stderr, peak RSS in MiB)."""
    os.makedirs(os.path.join(home, "tmp"), exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in support._CLEARED_VARIABLES}
    env.update({"HOME": home, "TMPDIR": os.path.join(home, "tmp"), "LC_ALL": "C.UTF-8",
                "LYRANE_API_URL": "http://127.0.0.1:9", "ELEVENLABS_API_KEY": "unused"})
    log_path = os.path.join(home, "stderr.log")
    with open(log_path, "wb") as log:
        child = subprocess.Popen([support.lyrane_bin()] + [str(a) for a in args], env=env,
                                 stdout=subprocess.DEVNULL, stderr=log)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    with open(log_path, encoding="utf-8", errors="replace") as log:
        stderr = log.read()
    return child.returncode, stderr, usage.ru_maxrss / 1024.0


@unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg is needed as the independent meter")
class LoudnessTargetTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        # Tones and speech at about -20 dBFS, one quieter line and one louder.
        clips = []
        for i, samples in enumerate([
                speech_like(2.5, 120.0, 0.1, 1), tone(1.5, 440.0, 0.1),
                speech_like(2.0, 180.0, 0.05, 2), tone(2.0, 1000.0, 0.2),
                speech_like(3.0, 150.0, 0.12, 3), speech_like(2.2, 210.0, 0.1, 4)]):
            path = self.path("clip%d.wav" % i)
            support.write_wav(path, samples)
            clips.append(path)
        self.narration = NarrationCache(self.path("n"), clips, 3500)

    def narrate(self, output, *extra):
        status, stderr, _ = run_measured(
            ["--vtt", self.narration.vtt, "--temp-dir", self.narration.cache, "--output", output]
            + list(extra), self.home)
        self.assertEqual(status, 0, stderr)
        return stderr

    def reported(self, stderr):
        last = stderr[stderr.rindex("\n", 0, len(stderr) - 1) + 1:]
        match = LOUDNESS_LINE.match(last)
        self.assertIsNotNone(match, "last line: %r" % last)
        return float(match.group(1)), float(match.group(2)), match.group(3)

    def test_targets_reached_in_wav_and_mp3(self):
        for target, name in ((-16.0, "out.wav"), (-23.0, "out.mp3"), (-30.0, "quiet.wav")):
            with self.subTest(target=target, output=name):
                output = self.path(name)
                stderr = self.narrate(output, "--loudness", str(target))
                lufs, peak, reason = self.reported(stderr)
                self.assertIsNone(reason)
                self.assertAlmostEqual(lufs, target, delta=0.05)
                measured, measured_peak = ebur128(output)
                self.assertAlmostEqual(measured, target, delta=0.5)
                self.assertLessEqual(measured_peak, -1.0 + 0.3)
                self.assertAlmostEqual(measured_peak, peak, delta=0.5)

    def test_true_peak_ceiling_lowers_the_gain(self):
        output = self.path("ceiling.wav")
        stderr = self.narrate(output, "--loudness", "-8", "--true-peak", "-3")
        lufs, peak, reason = self.reported(stderr)
        self.assertEqual(reason, " (target -8.0 LUFS not reached: the true-peak ceiling of "
                                 "-3.0 dBTP limits the gain)")
        self.assertEqual(peak, -3.0)
        self.assertLess(lufs, -8.5)
        measured, measured_peak = ebur128(output)
        self.assertAlmostEqual(measured, lufs, delta=0.5)
        self.assertLessEqual(measured_peak, -3.0 + 0.3)

    def test_without_a_target_there_is_no_loudness_line(self):
        stderr = self.narrate(self.path("plain.wav"))
        self.assertNotIn("Loudness:", stderr)

    def test_single_text_run(self):
        text = "One line, spoken alone."
        cache = self.path("single")
        os.makedirs(cache)
        key = cache_key(text, "", "", DEFAULT_VOICE_ID, 1.0)
        support.write_wav(os.path.join(cache, key + ".wav"), speech_like(4.0, 140.0, 0.08, 9))
        for name in ("single.wav", "single.mp3"):
            with self.subTest(output=name):
                output = self.path(name)
                status, stderr, _ = run_measured(["--say", text, "--temp-dir", cache,
                                                  "--output", output, "--loudness", "-18"],
                                                 self.home)
                self.assertEqual(status, 0, stderr)
                lufs, _, reason = self.reported(stderr)
                self.assertIsNone(reason)
                self.assertAlmostEqual(lufs, -18.0, delta=0.05)
                self.assertAlmostEqual(ebur128(output)[0], -18.0, delta=0.5)

    def test_option_checks(self):
        vtt = self.narration.vtt
        for args, message in (
                (["--loudness", "-71"], "--loudness must be between -70 and -5\n"),
                (["--loudness", "-4.9"], "--loudness must be between -70 and -5\n"),
                (["--loudness", "loud"], "--loudness must be between -70 and -5\n"),
                (["--loudness", "-16", "--true-peak", "0.5"],
                 "--true-peak must be between -20 and 0\n"),
                (["--loudness", "-16", "--true-peak", "-21"],
                 "--true-peak must be between -20 and 0\n"),
                (["--true-peak", "-2"], "--true-peak is only supported with --loudness\n")):
            with self.subTest(args=args):
                result = self.run_lyrane(["--vtt", vtt] + args)
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, message)


class BoundedMemoryTest(LyraneTestCase):
    """Forty minutes of clips: held in memory as doubles they alone would take about 600 MiB;
    streamed, the run stays far below that in every mode."""

    CLIPS = 600
    SPACING_MS = 4000
    LIMIT_MIB = 200

    @classmethod
    def setUpClass(cls):
        cls.work = support._scratch_dir("memory-")
        cls.wav = os.path.join(cls.work, "speech.wav")
        support.write_wav(cls.wav, speech_like(3.5, 130.0, 0.3, 5))
        # Longer than its four-second slot: stretched under --autospeed.
        cls.long_wav = os.path.join(cls.work, "long.wav")
        support.write_wav(cls.long_wav, speech_like(4.6, 160.0, 0.3, 6))
        cls.mp3 = None
        if shutil.which("ffmpeg"):
            cls.mp3 = os.path.join(cls.work, "speech.mp3")
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", cls.wav, "-c:a",
                            "libmp3lame", "-b:a", "128k", cls.mp3], check=True)

    def narrate(self, clips, extension, *extra):
        narration = NarrationCache(self.path("n"), clips, self.SPACING_MS, extension)
        status, stderr, peak = run_measured(
            ["--vtt", narration.vtt, "--temp-dir", narration.cache,
             "--output", self.path("out.wav")] + list(extra), self.home)
        self.assertEqual(status, 0, stderr[-2000:])
        return stderr, peak

    def check(self, peak, stderr):
        if not sanitized(support.lyrane_bin()):
            self.assertLess(peak, self.LIMIT_MIB, "peak RSS %.0f MiB" % peak)
        self.assertIn("Created mixed WAV audio file", stderr)
        self.assertEqual(support.wav_duration_ms(self.path("out.wav")),
                         (self.CLIPS - 1) * self.SPACING_MS + self.SPACING_MS - 200)

    def test_wav_clips(self):
        stderr, peak = self.narrate([self.wav] * self.CLIPS, ".wav")
        self.check(peak, stderr)

    @unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg makes the MP3 clips")
    def test_mp3_clips(self):
        stderr, peak = self.narrate([self.mp3] * self.CLIPS, ".mp3", "--format", "mp3_44100")
        self.check(peak, stderr)

    def test_autospeed(self):
        clips = [self.long_wav if i % 10 == 9 else self.wav for i in range(self.CLIPS)]
        stderr, peak = self.narrate(clips, ".wav", "--autospeed")
        self.assertEqual(stderr.count("(sped up by"), self.CLIPS // 10)
        self.check(peak, stderr)

    def test_loudness(self):
        stderr, peak = self.narrate([self.wav] * self.CLIPS, ".wav", "--loudness", "-16")
        self.assertIn("Loudness: -16.0 LUFS integrated", stderr)
        self.check(peak, stderr)


if __name__ == "__main__":
    unittest.main()
