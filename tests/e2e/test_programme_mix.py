"""Narration mixed over a programme (--mix-with): the programme's sound ducked under each clip,
its video copied untouched, outputs by extension, and every bad input refused cleanly.

The programmes are generated with ffmpeg's lavfi test sources; speech comes from lyrane-speechd.
The ducking is measured exactly: the narration alone is rendered from the same cache, and what
the mix holds beyond it is the programme as lyrane lowered it."""

import json
import math
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from support import LyraneTestCase, read_wav, source_dir, write_vtt
from test_speechd import Service

RATE = 44100
CUES = [
    (1000, 3500, "The keeper climbs the stairs."),
    (5000, 6500, "Good night."),
]
PLACEMENT = re.compile(r"^Segment (\d+): desired (-?\d+) ms, actual (\d+) ms - (\d+) ms$",
                       re.MULTILINE)
LOUDNESS_LINE = re.compile(r"Loudness: (-?[0-9.]+|-inf) LUFS integrated, true peak "
                           r"(-?[0-9.]+|-inf) dBTP( \(target .* not reached: .*\))?\n"
                           r"(?:Billed: [^\n]*\n)?\Z")


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, capture_output=True)


def probe(path):
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=index,codec_type,codec_name,sample_rate,channels,duration:stream_tags"
         ":stream_disposition=default:format=duration", "-of", "json", path],
        capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def packets(path, selector):
    """framemd5 lines of the selected stream's packets: dts, pts, duration, size, hash."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", selector, "-c", "copy",
                             "-f", "framemd5", "-"], capture_output=True, text=True, check=True)
    return [[field.strip() for field in line.split(",")[1:]]
            for line in result.stdout.splitlines() if line and not line.startswith("#")]


def ebur128(path):
    """(integrated LUFS, true peak dBTP) of a file's first audio track as ffmpeg's ebur128
    filter reads it."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path,
                           "-map", "0:a:0", "-af", "ebur128=peak=true", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    summary = done.stderr[done.stderr.rindex("Summary:"):]
    integrated = float(re.search(r"I:\s+(-?[0-9.]+) LUFS", summary).group(1))
    peak = float(re.search(r"Peak:\s+(-?[0-9.]+|-inf) dBFS", summary).group(1))
    return integrated, peak


def reported_loudness(stderr):
    line = LOUDNESS_LINE.search(stderr)
    if not line:
        raise AssertionError("no Loudness line at the end of:\n" + stderr[-2000:])
    return float(line.group(1)), float(line.group(2)), line.group(3)


def placements(stderr):
    return [(int(m.group(3)), int(m.group(4))) for m in PLACEMENT.finditer(stderr)]


def level_db(residual, programme, start, end):
    num = sum(v * v for v in residual[start:end])
    den = sum(v * v for v in programme[start:end])
    return 10 * math.log10(num / den)


class ProgrammeMixTest(LyraneTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="lyrane-programmes-")
        media = cls.media
        # A 1 kHz tone at one eighth of full scale: the mix never clips.
        ffmpeg("-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100:duration=8",
               "-c:a", "pcm_s16le", os.path.join(media, "tone.wav"))
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=8",
               "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=8",
               "-ac", "2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest",
               os.path.join(media, "film.mp4"))
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=3",
               "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=3",
               "-c:v", "mpeg4", "-c:a", "aac", "-shortest", os.path.join(media, "short.mp4"))
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=8", "-c:v", "mpeg4",
               os.path.join(media, "silent.mp4"))
        # Loud pink noise (about -15 LUFS): most of the mix's loudness is the programme's, and
        # its true peak leaves room to reach -16 LUFS under the ceiling.
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=8",
               "-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=1.0:seed=7:sample_rate=48000"
               ":duration=8", "-ac", "2", "-c:v", "mpeg4", "-c:a", "aac", "-b:a", "256k",
               "-shortest", os.path.join(media, "noise.mp4"))
        # Two MP3s joined byte for byte, as a recording that changes mode: 4 s of stereo, then
        # 4 s of mono.
        with open(os.path.join(media, "stereo-then-mono.mp3"), "wb") as joined:
            for channels in (2, 1):
                part = os.path.join(media, "part-%d.mp3" % channels)
                ffmpeg("-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100:duration=4",
                       "-ac", str(channels), "-c:a", "libmp3lame", "-write_xing", "0",
                       "-id3v2_version", "0", "-write_id3v1", "0", part)
                with open(part, "rb") as data:
                    joined.write(data.read())
        # A video stream declared, and not one packet of it.
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=8",
               "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=8",
               "-map", "0:v", "-map", "1:a", "-vf", "trim=start=100", "-c:v", "mpeg4",
               "-c:a", "aac", os.path.join(media, "no-pictures.mkv"))
        cls.service = Service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, CUES)
        self.out_dir = self.path("out")
        os.makedirs(self.out_dir)

    def media_path(self, name):
        return os.path.join(self.media, name)

    def narrate(self, output, *extra):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.path("cache"), "--output",
                                output, *extra], env=self.env)

    def mix(self, programme, name, *extra):
        output = os.path.join(self.out_dir, name)
        result = self.narrate(output, "--mix-with", self.media_path(programme), *extra)
        return result, output

    def assertOnlyFiles(self, *names):
        self.assertEqual(sorted(os.listdir(self.out_dir)), sorted(names),
                         "no partial or temporary file may remain beside the output")

    def residual(self, mixed_wav, *extra):
        """The mix minus the narration alone: the programme's part of the mix."""
        narration = self.path("narration.wav")
        self.assertExitStatus(self.narrate(narration, *extra), 0)
        _, _, speech = read_wav(narration)
        rate, channels, mixed = read_wav(mixed_wav)
        self.assertEqual((rate, channels), (RATE, 1))
        speech += [0] * (len(mixed) - len(speech))
        return [m - s for m, s in zip(mixed, speech)]

    def test_programme_is_ducked_by_the_set_amount_where_clips_play(self):
        _, _, tone = read_wav(self.media_path("tone.wav"))
        for duck in (10, 20, 0):
            with self.subTest(duck=duck):
                result, output = self.mix("tone.wav", "mixed-%d.wav" % duck, "--duck", str(duck))
                self.assertExitStatus(result, 0)
                self.assertIn("Created narrated WAV file: " + output, result.stderr)
                self.assertNotIn("extended", result.stderr)
                spots = placements(result.stderr)
                self.assertEqual(len(spots), len(CUES))
                residual = self.residual(output)
                self.assertEqual(len(residual), len(tone), "the mix lasts as long as the programme")
                ms = RATE // 1000
                for start, end in spots:  # while each clip plays
                    self.assertAlmostEqual(level_db(residual, tone, (start + 5) * ms,
                                                   (end - 5) * ms), -duck, delta=0.5)
                # Untouched before the first attack, between the clips and after the last release.
                quiet = [(0, spots[0][0] - 160), (spots[0][1] + 410, spots[1][0] - 160),
                         (spots[1][1] + 410, len(tone) // ms)]
                for start, end in quiet:
                    self.assertAlmostEqual(level_db(residual, tone, start * ms, end * ms), 0.0,
                                           delta=0.1)

    def test_ramps_move_the_level_without_steps(self):
        _, _, tone = read_wav(self.media_path("tone.wav"))
        result, output = self.mix("tone.wav", "ramps.wav", "--duck", "12", "--duck-attack", "200",
                                  "--duck-release", "300")
        self.assertExitStatus(result, 0)
        residual = self.residual(output)
        start, end = placements(result.stderr)[0]
        block = RATE // 100  # 10 ms, ten whole periods of the tone
        for first, last, falling in ((start - 260, start + 40, True), (end - 40, end + 360, False)):
            levels = [level_db(residual, tone, at, at + block)
                      for at in range(first * RATE // 1000, last * RATE // 1000, block)]
            self.assertAlmostEqual(max(levels), 0.0, delta=0.1)
            self.assertAlmostEqual(min(levels), -12.0, delta=0.3)
            steps = [b - a for a, b in zip(levels, levels[1:])]
            self.assertTrue(all((s <= 0.05) if falling else (s >= -0.05) for s in steps), steps)
            self.assertLess(max(abs(s) for s in steps), 1.5, steps)
            # The ramp takes the time asked for: about 20 or 30 blocks between the levels.
            moving = [s for s in steps if abs(s) > 0.01]
            self.assertAlmostEqual(len(moving), 20 if falling else 30, delta=3)

    def test_video_is_copied_and_the_mix_leads_the_audio_tracks(self):
        film = self.media_path("film.mp4")
        result, output = self.mix("film.mp4", "narrated.mp4", "--keep-original-audio",
                                  "--audio-language", "eng", "--audio-title", "Describer")
        self.assertExitStatus(result, 0)
        self.assertIn("Created narrated MP4 file: " + output, result.stderr)
        info = probe(output)
        streams = info["streams"]
        self.assertEqual([(s["codec_type"], s["codec_name"]) for s in streams],
                         [("video", "mpeg4"), ("audio", "aac"), ("audio", "aac")])
        mixed, kept = streams[1], streams[2]
        self.assertEqual((int(mixed["sample_rate"]), mixed["channels"]), (48000, 2))
        self.assertEqual(mixed["tags"]["language"], "eng")
        self.assertEqual(mixed["tags"]["handler_name"], "Describer")
        self.assertEqual((mixed["disposition"]["default"], kept["disposition"]["default"]), (1, 0))
        self.assertAlmostEqual(float(mixed["duration"]), 8.0, delta=0.05)
        self.assertAlmostEqual(float(info["format"]["duration"]), 8.0, delta=0.05)
        # Stream copies: the same packets, byte for byte, at the same times.
        self.assertEqual(packets(output, "0:v"), packets(film, "0:v"))
        self.assertEqual(packets(output, "0:a:1"), packets(film, "0:a"))
        self.assertNotEqual(packets(output, "0:a:0"), packets(film, "0:a"))
        self.assertOnlyFiles("narrated.mp4")

    def test_containers_and_audio_outputs(self):
        expected = {
            "narrated.mkv": [("video", "mpeg4"), ("audio", "aac")],
            "narrated.mov": [("video", "mpeg4"), ("audio", "aac")],
            "narrated.m4a": [("audio", "aac")],
            "narrated.mp3": [("audio", "mp3")],
            "narrated.wav": [("audio", "pcm_s16le")],
        }
        for name, layout in expected.items():
            with self.subTest(output=name):
                result, output = self.mix("film.mp4", name, "--audio-language", "fra")
                self.assertExitStatus(result, 0)
                streams = probe(output)["streams"]
                self.assertEqual([(s["codec_type"], s["codec_name"]) for s in streams], layout)
                audio = streams[-1]
                self.assertEqual((int(audio["sample_rate"]), audio["channels"]), (48000, 2))
                if layout[0][0] == "video":
                    # Bytes and order; Matroska keeps times in milliseconds, shifted past the
                    # AAC encoder's priming, so only the MP4 family keeps the very same times.
                    copied = packets(output, "0:v")
                    original = packets(self.media_path("film.mp4"), "0:v")
                    self.assertEqual([p[3:] for p in copied], [p[3:] for p in original])
                    if name.endswith(".mov"):
                        self.assertEqual(copied, original)
                tags = {k.lower(): v for k, v in audio.get("tags", {}).items()}
                if name.endswith((".mkv", ".mov", ".m4a")):
                    self.assertEqual(tags.get("language"), "fra")
                    self.assertEqual(tags.get("title", tags.get("handler_name")), "Narration")
        self.assertOnlyFiles(*expected)

    def test_narration_past_the_programme_extends_the_output(self):
        result, output = self.mix("short.mp4", "longer.mp4")
        self.assertExitStatus(result, 0)
        extended = re.search(r"Narration runs past the end of .*short\.mp4: output extended by "
                             r"(\d+) ms", result.stderr)
        self.assertIsNotNone(extended, result.stderr)
        self.assertAlmostEqual(int(extended.group(1)), CUES[-1][1] - 3000, delta=50)
        streams = probe(output)["streams"]
        video, audio = streams
        self.assertAlmostEqual(float(audio["duration"]), CUES[-1][1] / 1000, delta=0.05)
        # The last picture is held to the end: the video lasts as long as the sound.
        self.assertAlmostEqual(float(video["duration"]), float(audio["duration"]), delta=0.1)
        copied, original = packets(output, "0:v"), packets(self.media_path("short.mp4"), "0:v")
        self.assertEqual(len(copied), len(original))
        self.assertEqual([p[:2] + p[3:] for p in copied], [p[:2] + p[3:] for p in original])

        result, output = self.mix("short.mp4", "longer.wav")
        self.assertExitStatus(result, 0)
        rate, channels, samples = read_wav(output)
        self.assertEqual((rate, channels), (48000, 1))
        self.assertAlmostEqual(len(samples) / rate, CUES[-1][1] / 1000, delta=0.03)

    def test_programme_without_audio_takes_the_narration_alone(self):
        result, output = self.mix("silent.mp4", "narrated.mp4")
        self.assertExitStatus(result, 0)
        self.assertIn("has no audio: the narration alone is the sound", result.stderr)
        streams = probe(output)["streams"]
        self.assertEqual([(s["codec_type"], s["codec_name"]) for s in streams],
                         [("video", "mpeg4"), ("audio", "aac")])
        self.assertEqual((int(streams[1]["sample_rate"]), streams[1]["channels"]), (RATE, 1))
        self.assertAlmostEqual(float(streams[1]["duration"]), 8.0, delta=0.05)
        self.assertEqual(packets(output, "0:v"), packets(self.media_path("silent.mp4"), "0:v"))

    def test_programme_that_changes_from_stereo_to_mono_is_followed(self):
        result, output = self.mix("stereo-then-mono.mp3", "changing.wav")
        self.assertExitStatus(result, 0)
        stream = probe(output)["streams"][0]
        self.assertEqual((stream["codec_name"], int(stream["sample_rate"]), stream["channels"]),
                         ("pcm_s16le", RATE, 2))
        self.assertAlmostEqual(float(stream["duration"]), 8.0, delta=0.1)
        # The mono half sounds as the stereo half did, away from the clips.
        _, _, mixed = read_wav(output)
        stereo, mono = mixed[RATE // 10:RATE * 8 // 10], mixed[RATE * 7:RATE * 79 // 10]
        level = 10 * math.log10(sum(v * v for v in mono) / len(mono)
                                / (sum(v * v for v in stereo) / len(stereo)))
        self.assertAlmostEqual(level, 0.0, delta=3.5)
        self.assertOnlyFiles("changing.wav")

    def test_video_output_without_pictures_is_said(self):
        result, output = self.mix("tone.wav", "sound-only.mp4")
        self.assertExitStatus(result, 0)
        self.assertIn("%s has no video: the output has no picture\n" % self.media_path("tone.wav"),
                      result.stderr)
        self.assertEqual([s["codec_type"] for s in probe(output)["streams"]], ["audio"])
        result, _ = self.mix("film.mp4", "pictures.mp4")
        self.assertNotIn("no picture", result.stderr)

    def test_leftovers_of_killed_runs_go(self):
        tmpdir = os.path.join(self.home, "tmp")
        os.makedirs(tmpdir, exist_ok=True)
        planted = {  # path: old enough to go
            os.path.join(self.out_dir, ".out.mp4.123-abcd.part"): True,
            os.path.join(tmpdir, "lyrane-narration-Ab12Cd.wav"): True,
            os.path.join(self.out_dir, ".out.mp4.456-beef.part"): False,
            os.path.join(tmpdir, "lyrane-narration-Fresh1.wav"): False,
        }
        two_hours_ago = time.time() - 7200
        for path, old in planted.items():
            with open(path, "wb") as handle:
                handle.write(b"left behind")
            if old:
                os.utime(path, (two_hours_ago, two_hours_ago))
        result, _ = self.mix("film.mp4", "out.mp4")
        self.assertExitStatus(result, 0)
        for path, old in planted.items():
            self.assertEqual(os.path.exists(path), not old, path)

    def test_loudness_target_applies_to_the_whole_mix(self):
        cases = [  # programme, output, target LUFS
            ("tone.wav", "tone-23.wav", -23.0),
            ("noise.mp4", "noise-16.wav", -16.0),
            ("noise.mp4", "noise-16.mp4", -16.0),
            ("film.mp4", "film-23.mp4", -23.0),
            ("noise.mp4", "noise-16.mp3", -16.0),
        ]
        for programme, name, target in cases:
            with self.subTest(programme=programme, output=name, target=target):
                result, output = self.mix(programme, name, "--loudness", str(target))
                self.assertExitStatus(result, 0)
                lufs, peak, reason = reported_loudness(result.stderr)
                self.assertIsNone(reason)
                self.assertAlmostEqual(lufs, target, delta=0.2)
                self.assertLessEqual(peak, -1.0 + 0.2)
                measured, measured_peak = ebur128(output)
                self.assertAlmostEqual(measured, target, delta=0.5)
                self.assertAlmostEqual(measured, lufs, delta=0.5)
                self.assertLessEqual(measured_peak, -1.0 + 0.3)
                if name.endswith(".mp4"):
                    self.assertEqual(packets(output, "0:v"),
                                     packets(self.media_path(programme), "0:v"))
                if not name.endswith(".wav"):
                    continue
                # One gain on the whole mix: the same samples as the mix without a target,
                # scaled, so the narration keeps its level against the ducked programme.
                plain = os.path.join(self.out_dir, "plain-" + name)
                self.assertExitStatus(self.mix(programme, "plain-" + name)[0], 0)
                _, _, scaled = read_wav(output)
                _, _, unscaled = read_wav(plain)
                self.assertEqual(len(scaled), len(unscaled))
                gain = (sum(a * b for a, b in zip(scaled, unscaled))
                        / sum(b * b for b in unscaled))
                error = sum((a - gain * b) ** 2 for a, b in zip(scaled, unscaled))
                self.assertLess(10 * math.log10(error / sum(a * a for a in scaled)), -60)
                self.assertAlmostEqual(20 * math.log10(gain), target - ebur128(plain)[0],
                                       delta=0.5)

    def test_true_peak_ceiling_holds_on_the_mix(self):
        result, output = self.mix("noise.mp4", "ceiling.mp4", "--loudness", "-6",
                                  "--true-peak", "-3")
        self.assertExitStatus(result, 0)
        lufs, peak, reason = reported_loudness(result.stderr)
        self.assertEqual(reason, " (target -6.0 LUFS not reached: the true-peak ceiling of "
                                 "-3.0 dBTP limits the gain)")
        self.assertLessEqual(peak, -3.0 + 0.2)
        self.assertLess(lufs, -6.5)
        measured, measured_peak = ebur128(output)
        self.assertAlmostEqual(measured, lufs, delta=0.5)
        self.assertLessEqual(measured_peak, -3.0 + 0.3)
        result, _ = self.mix("noise.mp4", "plain.mp4")
        self.assertNotIn("Loudness:", result.stderr)

    def test_bad_inputs_fail_cleanly(self):
        not_media = os.path.join(self.media, "notes.mp4")
        with open(not_media, "w") as handle:
            handle.write("not a video\n")
        cases = [
            (["--mix-with", not_media], "out.mp4",
             "Failed to open the programme: cannot open %s: " % not_media),
            (["--mix-with", self.media_path("missing.mkv")], "out.mkv",
             "Failed to open the programme: cannot open %s: " % self.media_path("missing.mkv")),
            (["--mix-with", self.media_path("film.mp4"), "--mix-stream", "1"], "out.mp4",
             "has no audio stream 1 (it has 1 audio streams)"),
            (["--mix-with", self.media_path("tone.wav"), "--keep-original-audio"], "out.mp4",
             "the MP4 container cannot hold the original audio of %s (pcm_s16le)"
             % self.media_path("tone.wav")),
            ([], "out.mp4", "a video output (.mp4, .mov, .mkv) needs --mix-with"),
            (["--mix-with", self.media_path("film.mp4"), "--duck", "-3"], "out.mp4",
             "--duck must be between 0 and 60"),
            (["--mix-with", self.media_path("film.mp4"), "--duck-release", "20000"], "out.mp4",
             "--duck-release must be between 0 and 10000"),
            (["--mix-with", self.media_path("film.mp4"), "--audio-language", "english"],
             "out.mp4", "--audio-language must be a three-letter ISO 639-2 code"),
            (["--duck", "6"], "out.wav", "--duck needs --mix-with"),
            (["--mix-with", self.media_path("film.mp4"), "--keep-original-audio"], "out.wav",
             "--keep-original-audio needs an .mp4, .mov or .mkv output"),
            (["--mix-with", self.media_path("no-pictures.mkv")], "out.mkv",
             "Failed to mix over the programme: video stream 0 of %s (mpeg4) has no packets\n"
             % self.media_path("no-pictures.mkv")),
        ]
        shutil.copy(self.media_path("film.mp4"), os.path.join(self.out_dir, "film.mp4"))
        cases.append((["--mix-with", os.path.join(self.out_dir, "film.mp4")], "film.mp4",
                      "cannot write %s: it is the programme itself"
                      % os.path.join(self.out_dir, "film.mp4")))
        for args, name, message in cases:
            with self.subTest(args=args, output=name):
                result = self.narrate(os.path.join(self.out_dir, name), *args)
                self.assertExitStatus(result, 1)
                self.assertIn(message, result.stderr)
                self.assertOnlyFiles("film.mp4")
        self.assertEqual(packets(os.path.join(self.out_dir, "film.mp4"), "0:a"),
                         packets(self.media_path("film.mp4"), "0:a"), "the programme is unchanged")


class ReadmeVideoDemoTest(LyraneTestCase):
    def test_demo_narrates_the_example_over_a_generated_video(self):
        demo = os.path.join(source_dir(), "scripts", "demo-video")
        result = subprocess.run([demo, self.tmp], capture_output=True, text=True, timeout=900,
                                env={k: v for k, v in os.environ.items()
                                     if k not in ("ELEVENLABS_API_KEY", "LYRANE_API_URL",
                                                  "LYRANE_S3_BUCKET")})
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        output = os.path.join(self.tmp, "lighthouse.mp4")
        self.assertIn("Narrated video written to: " + output, result.stdout)
        streams = probe(output)["streams"]
        self.assertEqual([(s["codec_type"], s["codec_name"]) for s in streams],
                         [("video", "mpeg4"), ("audio", "aac")])
        self.assertEqual(streams[1]["tags"]["language"], "eng")
        self.assertEqual(packets(output, "0:v"),
                         packets(os.path.join(self.tmp, "programme.mp4"), "0:v"))


if __name__ == "__main__":
    unittest.main()
