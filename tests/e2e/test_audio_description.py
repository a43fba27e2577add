"""Audio description: descriptions fitted between the programme's dialogue (--dialogue,
--max-shift, --strict-fit), the programme paused for those that cannot fit (--extended), the
described track's flags read back with ffprobe, and the loudness presets measured with
ffmpeg's ebur128 filter."""

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


def frames(path, *filters):
    """(time in s, md5) of each picture of a file's video as decoded, or as `filters` make it."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
                           *(filters or ["-fps_mode", "passthrough"]), "-f", "framemd5", "-"],
                          capture_output=True, text=True, check=True)
    hashes = [line.split(",")[5].strip() for line in done.stdout.splitlines()
              if not line.startswith("#")]
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=best_effort_timestamp_time", "-of", "csv=p=0",
                            *(["-f", "lavfi", "movie=%s,%s" % (path, filters[1])] if filters
                              else [path])],
                           capture_output=True, text=True, check=True)
    times = [float(line.strip(",")) for line in probe.stdout.split()]
    return list(zip(times, hashes))


def rms_db(path, track, start, length):
    """RMS level (dB) of an audio track over [start, start + length) seconds."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-ss", str(start), "-t",
                           str(length), "-i", path, "-map", "0:a:%d" % track, "-af",
                           "astats=metadata=1,ametadata=print:key=lavfi.astats.Overall.RMS_level"
                           ":file=-", "-f", "null", "-"], capture_output=True, text=True, check=True)
    value = done.stdout.strip().splitlines()[-1].split("=")[1]
    return float("-inf") if value == "-inf" else float(value)


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
        # Reordered pictures (B-frames): a pause can only fall where none are reordered across.
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=10",
               "-f", "lavfi", "-i", "sine=frequency=500:sample_rate=48000:duration=10",
               "-c:v", "libx264", "-bf", "3", "-c:a", "aac", "-shortest",
               os.path.join(cls.media, "film.mp4"))
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

    def test_extended_description_holds_the_picture(self):
        # The second description finds no gap: the programme pauses where its line starts (or
        # at the last frame before it no picture is reordered across); the third moves later.
        self.vtt = write_vtt(self.path("extended.vtt"), DESCRIPTIONS + [(8200, 8800, "Dawn.")])
        for film, output in (("film.mkv", "ext.mkv"), ("film.mp4", "ext.mp4")):
            with self.subTest(film=film):
                programme = os.path.join(self.media, film)
                time_map, captions = self.path(output + ".json"), self.path(output + ".vtt")
                result = self.narrate(output, "--dialogue", self.dialogue, "--extended",
                                      "--mix-with", programme, "--keep-original-audio",
                                      "--time-map", time_map, "--captions-out", captions)
                self.assertExitStatus(result, 0)
                with open(time_map, encoding="utf-8") as f:
                    mapped = json.load(f)
                self.assertEqual(len(mapped["pauses"]), 1, mapped)
                pause = mapped["pauses"][0]
                at, length = pause["programme_ms"], pause["duration_ms"]
                self.assertTrue(4100 <= at <= 4500, pause)  # at most 4 frames before the line
                self.assertEqual(length, 4000 + LENGTHS[1] - at)  # the rest of the clip
                self.assertEqual((pause["output_ms"], mapped["output_ms"]),
                                 (at, mapped["programme_ms"] + length))
                self.assertAlmostEqual(mapped["programme_ms"], 10000, delta=100)
                self.assertIn("Description 2 pauses the programme at 00:00:0%.3f for"
                              % (at / 1000), result.stderr)
                for got, want in zip(placements(result.stderr), [1000, 4000, 8200 + length]):
                    self.assertAlmostEqual(got[0], want, delta=1)
                with open(captions, encoding="utf-8") as f:
                    caption = re.findall(r"(\d\d):(\d\d):(\d\d)\.(\d{3}) --> (\d\d):(\d\d):(\d\d)\.(\d{3})",
                                         f.read())[2]
                start, end = [((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms)
                              for h, m, s, ms in (caption[:4], caption[4:])]
                self.assertAlmostEqual(start, 8200 + length, delta=10)
                # Ends with its cue, moved by the pause before it, or its clip if that is later.
                self.assertEqual(end, max(8800 + length, placements(result.stderr)[2][1]))

                out = self.path(output)
                duration = float(subprocess.run(
                    ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                     out], capture_output=True, text=True, check=True).stdout)
                self.assertAlmostEqual(duration, (10000 + length) / 1000, delta=0.1)  # one frame
                # The same pictures in the same order, none added: the one before the pause stays
                # up through it (its pixels the programme's), the next comes when it ends.
                shown, source = frames(out), frames(programme)
                self.assertEqual([h for _, h in shown], [h for _, h in source])
                steps = [round((a[0] - b[0]) - (shown[0][0] - source[0][0]), 3)
                         for a, b in zip(shown, source)]
                k = steps.index(round(length / 1000, 3))
                self.assertEqual(steps, [0] * k + [round(length / 1000, 3)] * (len(steps) - k))
                self.assertAlmostEqual(shown[k][0] - length / 1000, at / 1000, delta=0.05)
                held = {h for t, h in frames(out, "-vf", "fps=10")
                        if shown[k - 1][0] + 0.15 < t < shown[k][0] - 0.15}
                self.assertEqual(held, {source[k - 1][1]})
                # The programme's own sound (kept as the second track) stops for the pause.
                self.assertGreater(rms_db(out, 1, at / 1000 - 0.5, 0.4), -40)
                self.assertEqual(rms_db(out, 1, at / 1000 + 0.05, length / 1000 - 0.1), float("-inf"))
                self.assertGreater(rms_db(out, 1, (at + length) / 1000 + 0.1, 0.4), -40)
        result = self.narrate("plain.mkv", "--dialogue", self.dialogue, "--mix-with",
                              os.path.join(self.media, "film.mkv"))
        self.assertIn("Description 2 covers dialogue", result.stderr)  # nothing paused without it

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
            (["--extended", "--mix-with", film], "--extended needs --dialogue"),
            (["--extended", "--dialogue", self.dialogue], "--extended needs --mix-with a video programme"),
            (["--extended", "--dialogue", self.dialogue, "--mix-with", film], "--extended needs a video output"),
            (["--time-map", self.path("map.json")], "--time-map needs --extended"),
            (["--extended", "--dialogue", self.dialogue, "--mix-with", os.path.join(self.media, "noise.wav")],
             "--extended needs a programme with video: %s has none" % os.path.join(self.media, "noise.wav"), "out.mkv"),
        ]
        for row in rows:
            extra, message, output = (row + ("out.wav",))[:3]
            with self.subTest(extra=extra):
                result = self.narrate(output, *extra)
                self.assertExitStatus(result, 1)
                self.assertEqual(len(re.findall(r"\n", result.stderr.strip())), 0, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(self.service.request_count, 0)
                self.assertFalse(os.path.exists(self.path(output)))
