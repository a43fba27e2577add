"""Subtitle runs through a fake service: requests, cache tiers, resuming, timeline and output."""

import json
import os
import struct
import subprocess
import unittest

from support import (DEFAULT_VOICE_ID, LyraneTestCase, Response, error_response, pcm_tone,
                     read_wav, scripted, write_vtt, cache_key)

RATE = 44100
# Tone lengths of the fake service: 400 ms + 40 ms per character.
CUES = [
    (0, 2000, "Hello there."),                       # 880 ms
    (2500, 4000, "This one runs long past its cue."),  # 1680 ms
    (4000, 9000, "Bye."),                              # 560 ms
]
FIVE_CUES = [(i * 3000, i * 3000 + 2000, "Cue number %d." % (i + 1)) for i in range(5)]


def samples_ms(ms):
    return round(ms * RATE / 1000)


def stored(value):
    """A 16-bit value from the service after the cache write and the output write, each a
    read (/32768) and write (*32767, truncated toward zero)."""
    once = int(value * 32767 / 32768)
    return int(once * 32767 / 32768)


class SubtitleRunCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.cache = self.path("cache")
        self.vtt = self.path("talk.vtt")
        write_vtt(self.vtt, CUES)

    def narrate(self, *extra, vtt=None, output=None, env=None):
        args = ["--vtt", vtt or self.vtt, "--temp-dir", self.cache]
        args += ["--output", output or self.path("out.wav")] + list(extra)
        return self.run_lyrane(args, env=env or self.env)

    def cache_files(self):
        if not os.path.isdir(self.cache):
            return []
        return sorted(os.listdir(self.cache))


class RequestsAndCacheTest(SubtitleRunCase):
    def test_each_cue_becomes_one_request_and_one_cache_file(self):
        result = self.narrate("--no-padding")
        self.assertExitStatus(result, 0)
        requests = self.service.requests
        self.assertEqual(len(requests), 3)
        first = requests[0]
        self.assertEqual(first.method, "POST")
        self.assertEqual(first.path, "/v1/text-to-speech/" + DEFAULT_VOICE_ID)
        self.assertEqual(first.query_string, "output_format=pcm_44100")
        self.assertEqual(first.headers["xi-api-key"], "test-key")
        self.assertEqual(first.headers["accept"], "audio/pcm")
        self.assertEqual(first.headers["content-type"], "application/json")
        self.assertEqual(first.body, json.dumps(
            {"model_id": "eleven_multilingual_v2", "next_text": CUES[1][2],
             "text": CUES[0][2]}, separators=(",", ":")).encode())
        self.assertEqual(requests[1].previous_text, CUES[0][2])
        self.assertEqual(requests[1].next_text, CUES[2][2])
        self.assertIsNone(requests[2].next_text)

        keys = [cache_key(CUES[i][2], CUES[i - 1][2] if i else "",
                          CUES[i + 1][2] if i + 1 < len(CUES) else "", DEFAULT_VOICE_ID, 1.0)
                for i in range(3)]
        self.assertEqual(self.cache_files(), sorted(k + ".wav" for k in keys))
        for i, key in enumerate(keys):
            self.assertIn("Created segment %d: %s\n" % (i + 1, os.path.join(self.cache, key + ".wav")),
                          result.stderr)
        self.assertIn("Generating audio for segment 2/3 (from 00:00:02.500 to 00:00:04.000) "
                      "using voice Brenn in pcm_44100 format... " + CUES[1][2] + "\n",
                      result.stderr)
        self.assertTrue(result.stderr.endswith(
            "Generated 3 audio segments\n\n--no-padding mode: Individual segment files "
            "generated successfully.\nSegment files are located in: %s\n"
            "Billed: %d characters for 3 new clips (estimated)\n"
            % (self.cache, sum(len(c[2]) for c in CUES))))
        rate, channels, samples = read_wav(os.path.join(self.cache, keys[0] + ".wav"))
        self.assertEqual((rate, channels, len(samples)), (RATE, 1, samples_ms(880)))

        again = self.narrate("--no-padding")
        self.assertExitStatus(again, 0)
        self.assertEqual(self.service.request_count, 3, "a cached clip was requested again")
        self.assertIn("Segment 3/3 found in cache: %s\n"
                      % os.path.join(self.cache, keys[2] + ".wav"), again.stderr)
        self.assertNotIn("Generating", again.stderr)

    def test_changed_cue_resynthesizes_it_and_its_neighbours(self):
        write_vtt(self.vtt, FIVE_CUES)
        self.assertExitStatus(self.narrate("--no-padding"), 0)
        changed = list(FIVE_CUES)
        changed[2] = (changed[2][0], changed[2][1], "A different third line.")
        write_vtt(self.vtt, changed)
        self.service.reset()
        result = self.narrate("--no-padding")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.service.requests],
                         ["Cue number 2.", "A different third line.", "Cue number 4."])
        self.assertEqual(len(self.cache_files()), 8)

    def test_limit_keeps_the_next_cue_as_context_and_the_whole_timeline(self):
        write_vtt(self.vtt, FIVE_CUES)
        out = self.path("limited.wav")
        result = self.narrate("--limit", "2", output=out)
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 2)
        self.assertEqual(self.service.requests[1].next_text, "Cue number 3.")
        self.assertIn("Generating audio for segment 2/2 ", result.stderr)
        _, _, samples = read_wav(out)
        self.assertEqual(len(samples), samples_ms(FIVE_CUES[-1][1]))
        self.assertTrue(all(v == 0 for v in samples[samples_ms(6000):]))

    def test_formats_share_keys_but_not_files(self):
        self.assertExitStatus(self.narrate("--no-padding", "--limit", "1"), 0)
        self.assertExitStatus(self.narrate("--no-padding", "--limit", "1", "-f", "MP3_44100"), 0)
        self.assertEqual(self.service.request_count, 2)
        self.assertEqual(self.service.requests[1].headers["accept"], "audio/mpeg")
        self.assertEqual(self.service.requests[1].query["output_format"], "MP3_44100")
        files = self.cache_files()
        self.assertEqual(len(files), 2)
        self.assertEqual({os.path.splitext(f)[0] for f in files}, {files[0][:-4]})
        self.assertEqual({os.path.splitext(f)[1] for f in files}, {".wav", ".mp3"})

    def test_voice_defaults_and_names(self):
        rows = [
            ({"LYRANE_DEFAULT_VOICE": "  \t "}, [], "Brenn", DEFAULT_VOICE_ID),
            ({"LYRANE_DEFAULT_VOICE": " Ottaline\n"}, [], "Ottaline", "ErXwobaYiN019PkySvjV"),
            ({"LYRANE_DEFAULT_VOICE": "Ottaline"}, ["-d", "Dostan"], "Dostan",
             "pNInz6obpgDQGcFmaJgB"),
            ({}, ["--voice", "brenn"], "brenn", "brenn"),
            ({}, ["--voice", "MyOwnVoiceId1234567"], "MyOwnVoiceId1234567", "MyOwnVoiceId1234567"),
        ]
        for env, args, shown, voice_id in rows:
            with self.subTest(env=env, args=args):
                self.service.reset()
                result = self.narrate("--no-padding", "--limit", "1", *args,
                                      env=dict(self.env, **env))
                self.assertExitStatus(result, 0)
                self.assertIn(" using voice %s in pcm_44100 format... " % shown, result.stderr)
                # A value that may name an account voice is first looked up (the fake has no
                # list, so it is sent as given).
                posts = [r for r in self.service.requests if r.method == "POST"]
                self.assertEqual(len(posts), 1)
                self.assertEqual(posts[0].voice_id, voice_id)

    def test_pcm_at_another_rate_keeps_its_speed(self):
        self.service.responder = lambda record, index: Response(
            headers={"Content-Type": "audio/pcm"}, body=pcm_tone(1000, rate=16000))
        result = self.narrate("-f", "pcm_16000", "--limit", "1", "--no-padding")
        self.assertExitStatus(result, 0)
        rate, _, samples = read_wav(os.path.join(self.cache, self.cache_files()[0]))
        self.assertEqual((rate, len(samples)), (16000, 16000))


class FailureTest(SubtitleRunCase):
    def test_resume_after_a_failed_request(self):
        write_vtt(self.vtt, FIVE_CUES)
        self.service.responder = scripted(None, None, error_response(500, "overloaded"))
        result = self.narrate("--no-padding", "--retries", "0")
        self.assertExitStatus(result, 1)
        self.assertTrue(result.stderr.endswith("Failed to generate audio for segment 3: "
                                               "TTS request failed: " + result.stderr.split(
                                                   "TTS request failed: ")[-1]))
        self.assertNotIn("Generated", result.stderr)
        self.assertEqual(len(self.cache_files()), 2)

        self.service.responder = None
        self.service.reset()
        result = self.narrate("--no-padding")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.service.requests],
                         ["Cue number 3.", "Cue number 4.", "Cue number 5."])
        self.assertIn("Segment 2/5 found in cache", result.stderr)

    def test_bad_answers_fail_and_cache_nothing(self):
        rows = [
            ("empty body", Response(headers={"Content-Type": "audio/pcm"}, body=b""),
             "Failed to generate audio for segment 1: TTS request failed"),
            ("error page", Response(headers={"Content-Type": "application/json"},
                                    body=b'{"detail":"quota"}'),
             "Failed to generate audio for segment 1: TTS request failed"),
            ("odd length", Response(headers={"Content-Type": "audio/pcm"}, body=b"\x01\x02\x03"),
             "Failed to cache segment 1: raw PCM data length must be an even number of bytes"),
            ("client error", error_response(400, "bad voice"),
             "Failed to generate audio for segment 1: TTS request failed: "),
            ("payment", Response(status=402, body=b"upgrade your subscription"),
             "Failed to generate audio for segment 1: TTS request failed: "),
        ]
        for name, response, message in rows:
            with self.subTest(name):
                self.service.responder = lambda record, index, r=response: r
                result = self.narrate("--no-padding")
                self.assertExitStatus(result, 1)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stderr.count("\n"), 2, result.stderr)
                self.assertEqual(self.cache_files(), [])

    def test_unreachable_service(self):
        self.service.stop()
        result = self.narrate("--no-padding")
        self.assertExitStatus(result, 1)
        self.assertIn("Failed to generate audio for segment 1: TTS request failed: Connection "
                      "refused", result.stderr)
        self.assertEqual(self.cache_files(), [])

    def test_cache_directory_that_cannot_be_written(self):
        blocker = self.write_text("blocker", "a file where the cache should be")
        result = self.run_lyrane(["--vtt", self.vtt, "--temp-dir", os.path.join(blocker, "c"),
                                  "--no-padding"], env=self.env)
        self.assertExitStatus(result, 1)
        self.assertIn("Failed to cache segment 1: ", result.stderr)

    def test_key_is_required_before_the_cache_exists(self):
        result = self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.cache],
                                 env={"LYRANE_API_URL": self.service.url,
                                      "ELEVENLABS_API_KEY": "   "})
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "ElevenLabs API key is required\n")
        self.assertFalse(os.path.exists(self.cache))
        self.assertEqual(self.service.request_count, 0)


class TimelineTest(SubtitleRunCase):
    def test_placements_length_and_sample_positions(self):
        out = self.path("out.wav")
        result = self.narrate()
        self.assertExitStatus(result, 0)
        self.assertIn("Mixing audio segments...\n"
                      "Segment 1: desired 0 ms, actual 0 ms - 880 ms\n"
                      "Segment 2: desired 2500 ms, actual 2500 ms - 4180 ms\n"
                      "Segment 3: desired 4000 ms, actual 4180 ms - 4740 ms\n"
                      "  (delayed by 180 ms to avoid collision)\n"
                      # Cue 2 overruns its slot; cue 3 reads far slower than cue 1.
                      "Flagged: 2 of 3 cues (1 longer than the slot, 1 slow); see --review\n"
                      "Created mixed WAV audio file: %s\n" % out, result.stderr)
        rate, channels, samples = read_wav(out)
        self.assertEqual((rate, channels, len(samples)), (RATE, 1, samples_ms(9000)))
        tone = struct.unpack("<%dh" % samples_ms(1680), pcm_tone(1680))
        start = samples_ms(2500)
        self.assertTrue(all(v == 0 for v in samples[samples_ms(880):start]))
        self.assertEqual(samples[start:start + 200], [stored(v) for v in tone[:200]])
        second_end = start + len(tone)
        short = struct.unpack("<%dh" % samples_ms(560), pcm_tone(560))
        self.assertEqual(samples[second_end:second_end + 50], [stored(v) for v in short[:50]])
        self.assertTrue(all(v == 0 for v in samples[second_end + len(short):]))

    def test_output_names(self):
        self.assertExitStatus(self.narrate("--no-padding"), 0)
        rows = [("out", "out.wav", "WAV"), ("song.ogg", "song.ogg.wav", "WAV"),
                ("OUT.MP3", "OUT.MP3", "MP3"), ("Talk.Wav", "Talk.Wav", "WAV")]
        for given, written, kind in rows:
            with self.subTest(given):
                result = self.narrate(output=self.path(given))
                self.assertExitStatus(result, 0)
                self.assertTrue(result.stderr.endswith("Created mixed %s audio file: %s\n"
                                                       % (kind, self.path(written))))
                probe = subprocess.run(
                    ["ffprobe", "-v", "error", "-show_entries",
                     "stream=codec_name,sample_rate,channels:format=duration", "-of", "json",
                     self.path(written)], capture_output=True, text=True, check=True)
                info = json.loads(probe.stdout)
                stream = info["streams"][0]
                self.assertEqual(stream["codec_name"], "mp3" if kind == "MP3" else "pcm_s16le")
                self.assertEqual((int(stream["sample_rate"]), stream["channels"]), (RATE, 1))
                self.assertAlmostEqual(float(info["format"]["duration"]), 9.0, delta=0.06)

    def test_fixed_and_automatic_padding(self):
        out = self.path("padded.wav")
        result = self.narrate("--padding", "1.5s", output=out)
        self.assertExitStatus(result, 0)
        self.assertEqual(len(read_wav(out)[2]), samples_ms(9000 + 1500))

        tight = self.path("tight.vtt")
        # 880, 1680 and 560 ms of speech in 3 s: the last clip ends at 3240 ms.
        write_vtt(tight, [(0, 1000, CUES[0][2]), (1000, 2000, CUES[1][2]),
                          (2000, 3000, CUES[2][2])])
        result = self.narrate(vtt=tight)
        self.assertExitStatus(result, 1)
        self.assertIn("Failed to mix audio: segment 3 exceeds output duration while mixing. Need "
                      "approximately 740 ms of additional padding. Current padding: 0 ms, Total "
                      "needed: 740 ms\n", result.stderr)
        for padding, used in (("0", 620), ("100ms", 620), ("1s", 1000)):
            with self.subTest(padding=padding):
                result = self.narrate("-a", "-p", padding, vtt=tight, output=out)
                self.assertExitStatus(result, 0)
                self.assertIn("Calculating required padding automatically...\nUsing automatically "
                              "calculated padding of %d ms\n" % used, result.stderr)
                self.assertEqual(len(read_wav(out)[2]), samples_ms(3000 + used))
        result = self.narrate("--autopad", output=out)
        self.assertIn("Using automatically calculated padding of 0 ms\n", result.stderr)
        self.assertEqual(len(read_wav(out)[2]), samples_ms(9000))

    def test_autopad_fits_a_late_first_cue_and_collisions(self):
        # Three 800 ms clips on cues 100 ms long from 5 s on: 2.4 s of speech in a 5.5 s
        # timeline, yet each collision pushes the next clip on (plus a fifth of the 100 ms
        # gap), so the last one ends at 7440 ms and needs 1940 ms of padding, not 500.
        late = self.path("late.vtt")
        write_vtt(late, [(5000, 5100, "First cue."), (5200, 5300, "Other cue."),
                         (5400, 5500, "Third cue.")])
        out = self.path("late.wav")
        result = self.narrate("--autopad", vtt=late, output=out)
        self.assertExitStatus(result, 0)
        self.assertIn("Using automatically calculated padding of 1940 ms\n", result.stderr)
        self.assertIn("Segment 3: desired 5400 ms, actual 6640 ms - 7440 ms\n", result.stderr)
        self.assertEqual(len(read_wav(out)[2]), samples_ms(5500 + 1940))

    def test_damaged_mp3_clip_is_reported_when_loaded(self):
        self.assertExitStatus(self.narrate("-f", "mp3_44100", "--no-padding"), 0)
        damaged = os.path.join(self.cache, self.cache_files()[0])
        with open(damaged, "wb") as f:
            f.write(b"this is not audio at all" * 10)
        self.assertExitStatus(self.narrate("-f", "mp3_44100", "--no-padding"), 0)
        result = self.narrate("-f", "mp3_44100")
        self.assertExitStatus(result, 1)
        self.assertIn("Failed to load audio segment %s: " % damaged, result.stderr)


class AutospeedTest(SubtitleRunCase):
    def test_long_clips_are_sped_up_up_to_one_and_a_half(self):
        vtt = self.path("fast.vtt")
        # 1680 ms of speech in a 1400 ms slot, then 880 ms in a 500 ms slot, then the last cue.
        write_vtt(vtt, [(0, 1000, CUES[1][2]), (1400, 1900, CUES[0][2]),
                        (1900, 6000, CUES[2][2])])
        result = self.narrate("--autospeed", vtt=vtt)
        self.assertExitStatus(result, 0)
        lines = result.stderr.splitlines()
        first = lines.index("Segment 1: desired 0 ms, actual 0 ms - %d ms" % 1400) \
            if "Segment 1: desired 0 ms, actual 0 ms - 1400 ms" in lines else None
        self.assertIsNotNone(first, result.stderr)
        self.assertEqual(lines[first + 1], "  (sped up by 1.20x to fit its cue)")
        self.assertTrue(lines[first + 2].startswith("Segment 2: desired 1400 ms, actual 1400 ms"))
        self.assertEqual(lines[first + 3], "  (sped up by 1.50x to fit its cue)")
        second_end = int(lines[first + 2].rsplit(" - ", 1)[1].split()[0])
        self.assertAlmostEqual(second_end - 1400, 880 / 1.5, delta=880 / 1.5 * 0.05)
        self.assertTrue(lines[first + 4].startswith("Segment 3: desired 1900 ms, actual %d ms"
                                                    % second_end))
        self.assertEqual(lines[first + 5], "  (delayed by %d ms to avoid collision)"
                         % (second_end - 1900))

    def test_clips_that_fit_are_untouched(self):
        plain, fast = self.path("plain.wav"), self.path("fast.wav")
        self.assertExitStatus(self.narrate(output=plain), 0)
        roomy = self.path("roomy.vtt")
        write_vtt(roomy, [(0, 2000, CUES[0][2]), (2500, 5000, CUES[1][2]), (5000, 9000, "Bye.")])
        self.assertExitStatus(self.narrate(vtt=roomy, output=plain), 0)
        result = self.narrate("--autospeed", vtt=roomy, output=fast)
        self.assertExitStatus(result, 0)
        self.assertNotIn("sped up", result.stderr)
        with open(plain, "rb") as a, open(fast, "rb") as b:
            self.assertEqual(a.read(), b.read())


class BatchTest(SubtitleRunCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.path("talks"))
        self.first = self.path("talks", "intro.vtt")
        self.second = self.path("talks", "outro.vtt")
        write_vtt(self.first, CUES)
        write_vtt(self.second, [(0, 1500, "Thanks for listening.")])

    def batch(self, files, *extra):
        return self.run_lyrane(["--batch", files, "--temp-dir", self.cache] + list(extra),
                               env=self.env)

    def test_two_files_give_two_outputs(self):
        result = self.batch(" %s ,, %s" % (self.first, self.second))
        self.assertExitStatus(result, 0)
        self.assertTrue(result.stderr.startswith("Batch 1/2: %s\n" % self.first))
        self.assertIn("Batch 2/2: %s\n" % self.second, result.stderr)
        self.assertTrue(result.stderr.endswith("Batch complete: 2 files\n"))
        self.assertEqual(len(read_wav(self.path("talks", "intro.wav"))[2]), samples_ms(9000))
        self.assertEqual(len(read_wav(self.path("talks", "outro.wav"))[2]), samples_ms(1500))

        result = self.batch(self.second, "--output", "x.MP3")
        self.assertExitStatus(result, 0)
        self.assertTrue(os.path.exists(self.path("talks", "outro.mp3")))

    def test_failure_stops_the_batch_and_keeps_finished_outputs(self):
        missing = self.path("talks", "missing.vtt")
        result = self.batch(",".join([self.first, missing, self.second]))
        self.assertExitStatus(result, 1)
        self.assertTrue(result.stderr.endswith(
            "Batch 2/3: %s\nfailed to parse VTT file: failed to open VTT file: No such file or "
            "directory\nBatch stopped at file 2/3: %s\n" % (missing, missing)), result.stderr)
        self.assertTrue(os.path.exists(self.path("talks", "intro.wav")))
        self.assertFalse(os.path.exists(self.path("talks", "outro.wav")))

    def test_dry_run_batch_lists_both_files_without_a_key(self):
        result = self.run_lyrane(["--batch", "%s,%s" % (self.first, self.second), "--dry-run"])
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stdout.count("=== VTT CUES INFORMATION ==="), 2)
        self.assertIn("Thanks for listening.", result.stdout)
        self.assertTrue(result.stderr.endswith("Batch complete: 2 files\n"))


if __name__ == "__main__":
    unittest.main()
