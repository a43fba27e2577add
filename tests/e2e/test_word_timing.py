"""Word timing from the command line: the with-timestamps route and its answer checks, the
alignment beside the clip (cache and mirror), word captions and the report, sentences joined over
cues, and lyrane-speechd's alignment measured against espeak-ng's own word events."""

import base64
import ctypes
import ctypes.util
import json
import os
import re
import unittest

from s3_support import (MotoS3, aws_env, create_bucket, get_object, list_keys, put_object,
                        real_aws_available)
from support import LyraneTestCase, Response, read_wav, write_vtt
from test_speechd import SPEECHD, Service

TEXT = "Words in time."
STAMP = re.compile(r"<(\d\d):(\d\d):(\d\d)\.(\d{3})>([^<\s]+)")


def even_alignment(text, seconds):
    """Each character an equal share of `seconds`."""
    step = seconds / max(len(text), 1)
    return {"characters": list(text),
            "character_start_times_seconds": [i * step for i in range(len(text))],
            "character_end_times_seconds": [(i + 1) * step for i in range(len(text))]}


def timed(pcm, alignment, audio=None):
    body = {"audio_base64": audio if audio is not None else base64.b64encode(pcm).decode(),
            "alignment": alignment, "normalized_alignment": alignment}
    return Response(200, {"Content-Type": "application/json"}, json.dumps(body).encode())


def cache_files(directory, suffix):
    return sorted(name for name in os.listdir(directory) if name.endswith(suffix))


def ms(match):
    h, m, s, milli = (int(match.group(i)) for i in range(1, 5))
    return ((h * 60 + m) * 60 + s) * 1000 + milli


class FakeServiceRoute(LyraneTestCase):
    def timed_service(self, change=lambda pcm, alignment: timed(pcm, alignment)):
        service = self.start_service()

        def responder(record, index):
            if not record.path.endswith("/with-timestamps"):
                return service.default_response(record)
            pcm = service.default_response(record).body
            return change(pcm, even_alignment(record.text, len(pcm) / 2 / 44100))
        service.responder = responder
        return service

    def say(self, service, *extra, cache="cache"):
        return self.run_lyrane(["--say", TEXT, "--temp-dir", self.path(cache), "--output",
                                self.path("out.wav")] + list(extra), env=self.service_env(service))

    def test_bad_answers_fail_the_cue_and_cache_nothing(self):
        def shifted(alignment, key, index, value):
            alignment[key][index] = value
            return alignment
        # clang-format off
        rows = [
            ("not JSON", lambda pcm, a: Response(200, {}, b"{audio"), "TTS request failed: the timed answer is not JSON"),
            ("bad base64", lambda pcm, a: timed(pcm, a, audio="@@not base64@@"), "audio_base64 is not valid base64"),
            ("arrays differ", lambda pcm, a: timed(pcm, dict(a, characters=a["characters"][1:])), "arrays differ in length"),
            ("backwards", lambda pcm, a: timed(pcm, shifted(a, "character_start_times_seconds", 3, 0.0)), "goes backwards at character 4"),
            ("past the audio", lambda pcm, a: timed(pcm, shifted(a, "character_end_times_seconds", -1, 60.0)), "Failed to cache audio: the alignment runs to 60 s, past the end of the"),
        ]
        # clang-format on
        for name, change, message in rows:
            with self.subTest(name):
                result = self.say(self.timed_service(change), "--word-timing", cache=name)
                self.assertExitStatus(result, 1)
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(self.path(name)), [])

    def test_an_alignment_that_stops_early_flags_the_cue_cut_short(self):
        def cut(pcm, alignment):
            return timed(pcm, {key: values[:-5] for key, values in alignment.items()})
        service = self.timed_service(cut)
        vtt = write_vtt(self.path("t.vtt"), [(0, 3000, TEXT)])
        result = self.run_lyrane(["--vtt", vtt, "--word-timing", "--temp-dir", self.path("c"),
                                  "--report", self.path("r.json"), "--output",
                                  self.path("out.wav")], env=self.service_env(service))
        self.assertExitStatus(result, 0)
        with open(self.path("r.json")) as source:
            [cue] = json.load(source)["cues"]
        self.assertTrue(cue["speech"]["cut_short"])
        self.assertIn({"flag": "cut_short", "value": 5}, cue["flags"])  # "time." is missing
        self.assertIn("Flagged: 1 of 1 cues (1 cut short", result.stderr)

    def test_alignment_beside_the_clip_and_asked_for_only_with_word_timing(self):
        service = self.timed_service()
        self.assertExitStatus(self.say(service), 0)
        plain = service.requests[-1]
        self.assertEqual(plain.path, "/v1/text-to-speech/" + plain.voice_id)
        [clip] = cache_files(self.path("cache"), ".wav")
        with open(self.path("cache", clip), "rb") as source:
            plain_clip = source.read()
        self.assertEqual(cache_files(self.path("cache"), ".align.json"), [])

        # The clip without alignment is asked for again (and priced so) with --word-timing.
        dry = self.say(service, "--word-timing", "--dry-run")
        self.assertIn("0 cues cached; 1 to synthesize", dry.stderr)
        self.assertExitStatus(self.say(service, "--word-timing"), 0)
        again = service.requests[-1]
        self.assertEqual(again.path, "/v1/text-to-speech/%s/with-timestamps" % plain.voice_id)
        self.assertEqual((again.body, again.query), (plain.body, plain.query))
        with open(self.path("cache", clip), "rb") as source:
            self.assertEqual(source.read(), plain_clip)
        key = clip[:-len(".wav")]
        with open(self.path("cache", key + ".align.json")) as source:
            alignment = json.load(source)
        self.assertEqual("".join(alignment["characters"]), TEXT)

        count = service.request_count
        for extra in ([], ["--word-timing"]):
            self.assertExitStatus(self.say(service, *extra), 0)
        self.assertEqual(service.request_count, count)

        # An alignment that runs past its clip is set aside and asked for again, not used.
        alignment["character_end_times_seconds"][-1] = 999.0
        with open(self.path("cache", key + ".align.json"), "w") as damaged:
            json.dump(alignment, damaged)
        result = self.say(service, "--word-timing")
        self.assertExitStatus(result, 0)
        self.assertIn("The word timing of %s is unusable (" % self.path("cache", clip), result.stderr)
        self.assertEqual(service.request_count, count + 1)
        self.assertTrue(os.path.exists(self.path("cache", key + ".align.json.unusable")))
        with open(self.path("cache", key + ".align.json")) as source:
            self.assertLess(json.load(source)["character_end_times_seconds"][-1], 999)

    @unittest.skipUnless(real_aws_available(), "needs the aws CLI")
    def test_alignment_travels_with_its_clip_through_the_mirror(self):
        with MotoS3() as s3:
            env = aws_env(self.tmp, s3.endpoint)
            create_bucket(env, "words")
            service = self.timed_service()
            env.update(self.service_env(service))
            args = ["--say", TEXT, "--word-timing", "--s3-bucket", "words", "--output",
                    self.path("out.wav")]
            first = self.run_lyrane(args + ["--temp-dir", self.path("a")], env=env)
            self.assertExitStatus(first, 0)
            clip, alignment = cache_files(self.path("a"), ".wav"), cache_files(self.path("a"),
                                                                             ".align.json")
            self.assertEqual(list_keys(env, "words"), sorted(clip + alignment))
            second = self.run_lyrane(args + ["--temp-dir", self.path("b")], env=env)
            self.assertExitStatus(second, 0)
            self.assertEqual(service.request_count, 1)
            for name in clip + alignment:
                with open(self.path("a", name), "rb") as a, open(self.path("b", name), "rb") as b:
                    self.assertEqual(a.read(), b.read())
            # A damaged alignment in the bucket is named, not used, and replaced by this run's.
            damaged = self.write_text("damaged.json", '{"characters": ["a"], "character_start')
            put_object(env, "words", alignment[0], damaged)
            third = self.run_lyrane(args + ["--temp-dir", self.path("c")], env=env)
            self.assertExitStatus(third, 0)
            self.assertIn("The word timing of ", third.stderr)
            self.assertEqual(service.request_count, 2)
            get_object(env, "words", alignment[0], self.path("replaced.json"))
            with open(self.path("replaced.json")) as replaced:
                self.assertEqual("".join(json.load(replaced)["characters"]), TEXT)


class WithSpeechd(LyraneTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.service = Service("--port", "0")
        cls.addClassCleanup(cls.service.stop)

    def narrate(self, cues, *extra, name="talk"):
        vtt = write_vtt(self.path(name + ".vtt"), cues)
        env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}
        result = self.run_lyrane(["--vtt", vtt, "--temp-dir", self.path("cache"), "--format",
                                  "pcm_22050", "--autopad", "--report", self.path("r.json"),
                                  "--output", self.path(name + ".wav")] + list(extra), env=env)
        self.assertExitStatus(result, 0)
        with open(self.path("r.json")) as source:
            return result, json.load(source)

    def test_word_captions_lie_within_their_clips_and_match_the_report(self):
        cues = [(0, 1500, "The lamp is lit."), (1600, 4000, "Ships pass the rocks at night.")]
        _, report = self.narrate(cues, "--word-timing", "--captions-out", self.path("c.vtt"))
        with open(self.path("c.vtt")) as source:
            blocks = source.read().split("\n\n")[1:-1]
        self.assertEqual(len(blocks), 2)
        for block, cue, (_, _, text) in zip(blocks, report["cues"], cues):
            stamps = [(ms(m), m.group(5)) for m in STAMP.finditer(block)]
            self.assertEqual(" ".join(word for _, word in stamps), text)
            times = [time for time, _ in stamps]
            self.assertEqual(times, sorted(times))
            self.assertGreaterEqual(times[0], cue["actual_start_ms"])
            self.assertLessEqual(times[-1], cue["actual_end_ms"])
            words = cue["speech"]["words"]
            self.assertEqual([(w["start_ms"], w["text"]) for w in words], stamps)
            self.assertEqual(cue["speech"]["start_ms"], words[0]["start_ms"])
            self.assertEqual(cue["speech"]["end_ms"], words[-1]["end_ms"])
            self.assertFalse(cue["speech"]["cut_short"])

    def test_joined_sentence_is_cut_at_its_word_boundaries(self):
        cues = [(0, 2000, "He opened the door and"), (3000, 5000, "found the room empty."),
                (6000, 7500, "Then he left.")]
        first, report = self.narrate(cues, "--join-sentences")
        self.assertIn("Cues 1-2 are one sentence, spoken in one request\n", first.stderr)
        self.assertEqual(report["totals"]["new_clips"], 2)
        self.assertEqual([c["joined_cues"] for c in report["cues"]], [[1, 2], [1, 2], None])
        self.assertEqual(report["cues"][0]["cache_key"], report["cues"][1]["cache_key"])
        rate, _, samples = read_wav(self.path("talk.wav"))
        self.assertIsNone(report["cues"][2]["speech"])  # spoken alone, without word timing
        for cue in report["cues"][:2]:
            # Each part plays at its own cue, its words within it, the next part's silent.
            self.assertEqual(cue["actual_start_ms"], cue["start_ms"])
            speech = cue["speech"]
            self.assertGreaterEqual(speech["start_ms"], cue["start_ms"])
            self.assertLessEqual(speech["end_ms"], cue["actual_end_ms"])
        gap = samples[int(rate * 2.0):int(rate * 3.0)]
        self.assertLess(max(abs(s) for s in gap), 300)
        with open(self.path("talk.wav"), "rb") as source:
            output = source.read()
        rerun, again = self.narrate(cues, "--join-sentences")
        self.assertEqual(again["totals"]["new_clips"], 0)
        self.assertEqual(sum(c["attempts"] for c in again["cues"]), 0)
        with open(self.path("talk.wav"), "rb") as source:
            self.assertEqual(source.read(), output)


def espeak_word_starts(text, voice, pitch, pitch_range):
    """Word start times in seconds as espeak-ng reports them, spoken as lyrane-speechd speaks."""
    lib = ctypes.CDLL(ctypes.util.find_library("espeak-ng"))

    class Event(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint),
                    ("text_position", ctypes.c_int), ("length", ctypes.c_int),
                    ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                    ("user_data", ctypes.c_void_p), ("id", ctypes.c_char * 8)]
    starts = []

    @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int,
                      ctypes.POINTER(Event))
    def collect(_wav, _count, events):
        i = 0
        while events[i].type != 0:  # espeakEVENT_LIST_TERMINATED
            if events[i].type == 1:  # espeakEVENT_WORD
                starts.append(events[i].audio_position / 1000.0)
            i += 1
        return 0
    lib.espeak_Initialize(2, 0, None, 0x8000)  # synchronous, do not exit on errors
    lib.espeak_SetSynthCallback(collect)
    lib.espeak_SetVoiceByName(voice.encode())
    for parameter, value in ((1, 175), (2, 100), (3, pitch), (4, pitch_range), (5, 0), (6, 0),
                             (7, 0)):
        lib.espeak_SetParameter(parameter, value, 0)
    data = text.encode()
    lib.espeak_Synth(data, len(data) + 1, 0, 1, 0, 1, None, None)
    return starts


class SpeechdAlignment(unittest.TestCase):
    @unittest.skipUnless(SPEECHD and ctypes.util.find_library("espeak-ng"), "needs espeak-ng")
    def test_word_times_match_espeak_ng(self):
        sentence = "The keeper climbs the stairs, and lights the lamp."
        service = Service("--port", "0")
        self.addCleanup(service.stop)
        from speechd_support import call
        reply = call(service.url, "/v1/text-to-speech/21m00Tcm4TlvDq8ikWAM/with-timestamps"
                     "?output_format=pcm_22050", {"text": sentence})
        self.assertEqual((reply.status, reply.headers["content-type"]), (200, "application/json"))
        answer = reply.json
        audio = base64.b64decode(answer["audio_base64"], validate=True)
        alignment = answer["alignment"]
        self.assertEqual("".join(alignment["characters"]), sentence)
        ends = alignment["character_end_times_seconds"]
        self.assertLessEqual(ends[-1], len(audio) / 2 / 22050 + 0.001)
        word_starts = [alignment["character_start_times_seconds"][m.start()]
                       for m in re.finditer(r"\S+", sentence)]
        measured = espeak_word_starts(sentence, "en-us+f4", 80, 70)
        self.assertEqual(len(measured), len(word_starts))
        for ours, theirs in zip(word_starts, measured):
            self.assertAlmostEqual(ours, theirs, delta=0.05)


if __name__ == "__main__":
    unittest.main()
