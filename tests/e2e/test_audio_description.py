"""Audio description: descriptions fitted between the programme's dialogue (--dialogue,
--max-shift, --strict-fit), the described track's flags read back with ffprobe, and the
loudness presets measured with ffmpeg's ebur128 filter."""

import json
import os
import re
import shutil
import subprocess
import tempfile

from support import LyraneTestCase, default_duration_ms, write_vtt
from test_programme_mix import ebur128, ffmpeg, placements

# Dialogue spans, and descriptions: the first starts inside a line and fits after it; the
# second finds no gap within 2 s.
DIALOGUE = [(0, 1000, "Hello."), (2000, 4000, "Who is there?"), (4500, 8000, "Only the wind.")]
DESCRIPTIONS = [(500, 1500, "A door."), (3000, 3500, "Rain on glass.")]
LENGTHS = [default_duration_ms(text) for _, _, text in DESCRIPTIONS]


def overlap(start, end):
    return sum(max(0, min(end, b) - max(start, a)) for a, b, _ in DIALOGUE)


def loudness_range(path):
    """The loudness range (LU) of a file's first audio track as ffmpeg's ebur128 filter reads it."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path,
                           "-map", "0:a:0", "-af", "ebur128", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    summary = done.stderr[done.stderr.rindex("Summary:"):]
    return float(re.search(r"LRA:\s+([0-9.]+) LU", summary).group(1))


def streams(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                           "stream=index,codec_type:stream_disposition:stream_tags",
                           "-of", "json", path], capture_output=True, text=True, check=True)
    return [s for s in json.loads(done.stdout)["streams"] if s["codec_type"] == "audio"]


class AudioDescriptionTest(LyraneTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="lyrane-described-")
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=10",
               "-f", "lavfi", "-i", "sine=frequency=500:sample_rate=48000:duration=10",
               "-c:v", "mpeg4", "-c:a", "aac", "-shortest", os.path.join(cls.media, "film.mkv"))
        ffmpeg("-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.5:seed=3:sample_rate=48000"
               ":duration=10", "-c:a", "pcm_s16le", os.path.join(cls.media, "noise.wav"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.vtt = write_vtt(self.path("description.vtt"), DESCRIPTIONS)
        self.dialogue = write_vtt(self.path("dialogue.vtt"), DIALOGUE)

    def narrate(self, output, *extra):
        return self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.path("cache"), "--output",
                                self.path(output), "--no-credit-check", *extra], env=self.env)

    def test_descriptions_clear_dialogue_within_the_shift(self):
        # (extra options, expected starts, cover lines, summary, exit status)
        rows = [
            ([], [1000, 3000], ["Description 2 covers dialogue at 00:00:03.000 by %.1f s" % (LENGTHS[1] / 1000)],
             "1 description(s) cover dialogue", 0),
            (["--max-shift", "5s"], [1000, 8000], [], "Every description is clear of the dialogue", 0),
            (["--strict-fit"], None, ["Description 2 covers dialogue at 00:00:03.000"],
             "--strict-fit: 1 description(s) cover dialogue; nothing written", 1),
        ]
        for extra, starts, lines, summary, status in rows:
            with self.subTest(extra=extra):
                report = self.path("report.json")
                result = self.narrate("out.wav", "--dialogue", self.dialogue, "--autopad",
                                      "--report", report, *extra)
                self.assertExitStatus(result, status)
                for line in lines + [summary]:
                    self.assertIn(line, result.stderr)
                with open(report, encoding="utf-8") as f:
                    cues = json.load(f)["cues"]
                if status:
                    self.assertFalse(os.path.exists(self.path("out.wav")))
                    self.assertEqual([c["covers_dialogue_ms"] for c in cues], [0, LENGTHS[1]])
                    continue
                spots = placements(result.stderr)
                self.assertEqual([s for s, _ in spots], starts)
                covered = [overlap(s, e) for s, e in spots]
                self.assertEqual(covered[0], 0)
                self.assertEqual([c["covers_dialogue_ms"] for c in cues], covered)
                self.assertEqual([c["desired_start_ms"] for c in cues], [500, 3000])
                os.remove(self.path("out.wav"))

    def test_dry_run_lists_the_gap_and_fit_of_each_cue(self):
        result = self.narrate("out.wav", "--dialogue", self.dialogue, "--dry-run")
        self.assertExitStatus(result, 0)
        self.assertIn("Cue 1 at 00:00:00.500: inside dialogue\n", result.stdout)
        self.assertIn("listed once every clip is in the cache", result.stdout)
        self.assertEqual(self.service.request_count, 0)
        self.assertExitStatus(self.narrate("clips.wav", "--no-padding"), 0)
        result = self.narrate("out.wav", "--dialogue", self.dialogue, "--dry-run")
        self.assertIn("Cue 1 at 00:00:00.500: inside dialogue; plays from 00:00:01.000\n"
                      "  Cue 2 at 00:00:03.000: inside dialogue; covers dialogue at 00:00:03.000 "
                      "by 1.0 s\n", result.stdout)

    def test_described_track_flags_and_order(self):
        film = os.path.join(self.media, "film.mkv")
        # (output, extra, expected audio tracks as (title, default, described))
        rows = [
            ("d.mkv", [], [("Audio Description", 1, 1)]),
            ("d.mp4", [], [("Audio Description", 1, 1)]),
            ("k.mkv", ["--keep-original-audio"], [(None, 1, 0), ("Audio Description", 0, 1)]),
            ("t.mkv", ["--audio-title", "AD"], [("AD", 1, 1)]),
            ("d.mov", [], [(None, 1, 0)]),  # QuickTime keeps no kind: said on the console
        ]
        for name, extra, expected in rows:
            with self.subTest(output=name):
                report = self.path(name + ".json")
                result = self.narrate(name, "--mix-with", film, "--described",
                                      "--audio-language", "eng", "--report", report, *extra)
                self.assertExitStatus(result, 0)
                with open(report, encoding="utf-8") as f:
                    self.assertEqual(json.load(f)["outputs"][0]["file"], self.path(name))
                self.assertEqual(".mov" in name, "cannot carry the audio description flag"
                                 in result.stderr)
                tracks = streams(self.path(name))
                got = []
                for track in tracks:
                    disposition = track["disposition"]
                    flagged = disposition.get("visual_impaired", 0) or \
                        disposition.get("descriptions", 0)
                    tags = track.get("tags", {})
                    got.append((tags.get("title", tags.get("handler_name")) if flagged else None,
                                disposition["default"], flagged))
                    if flagged:
                        self.assertEqual(track["tags"].get("language"), "eng")
                self.assertEqual(got, expected)

    def test_each_preset_is_measured_at_its_target(self):
        noise = os.path.join(self.media, "noise.wav")
        rows = [("ebu-r128", [], -23, -1), ("atsc-a85", [], -24, -2), ("streaming", [], -24, -2),
                ("podcast", [], -16, -1), ("ebu-r128", ["--loudness", "-20"], -20, -1),
                ("podcast", ["--true-peak", "-3"], -16, -3)]
        for preset, extra, target, ceiling in rows:
            with self.subTest(preset=preset, extra=extra):
                report = self.path("report.json")
                result = self.narrate("p.wav", "--mix-with", noise, "--loudness-preset", preset,
                                      "--report", report, *extra)
                self.assertExitStatus(result, 0)
                integrated, peak = ebur128(self.path("p.wav"))
                self.assertAlmostEqual(integrated, target, delta=0.5)
                self.assertLessEqual(peak, ceiling + 0.1)
                with open(report, encoding="utf-8") as f:
                    loudness = json.load(f)["outputs"][0]["loudness"]
                self.assertEqual((loudness["preset"], loudness["target_lufs"],
                                  loudness["true_peak_ceiling_dbtp"]), (preset, target, ceiling))
                self.assertAlmostEqual(loudness["integrated_lufs"], integrated, delta=0.5)
                self.assertAlmostEqual(loudness["loudness_range_lu"],
                                       loudness_range(self.path("p.wav")), delta=0.5)

    def test_bad_input_is_refused_before_any_request(self):
        film = os.path.join(self.media, "film.mkv")
        rows = [
            (["--dialogue", self.path("missing.vtt")], "failed to parse dialogue file " + self.path("missing.vtt")),
            (["--dialogue", self.dialogue, "--max-shift", "61s"], "--max-shift must be a duration from 0 to 60 s"),
            (["--strict-fit"], "--strict-fit needs --dialogue"),
            (["--mix-with", film, "--described"], "--described needs an .mp4, .mov, .mkv or .m4a output"),
            (["--loudness-preset", "loud"], "--loudness-preset must be ebu-r128, atsc-a85, streaming or podcast"),
        ]
        for extra, message in rows:
            with self.subTest(extra=extra):
                result = self.narrate("out.wav", *extra)
                self.assertExitStatus(result, 1)
                self.assertEqual(len(re.findall(r"\n", result.stderr.strip())), 0, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(self.service.request_count, 0)
                self.assertFalse(os.path.exists(self.path("out.wav")))
