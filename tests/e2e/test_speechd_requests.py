"""End-to-end tests of lyrane-speechd's request fields, formats, models and voices."""

import io
import json
import subprocess
import unittest
import wave

from speechd_support import (BUILT_IN_VOICES, EXTRA_VOICES, SPEECHD, Service, call,
                             median_pitch, synthesize)

RATES = (8000, 16000, 22050, 24000, 32000, 44100, 48000)
MP3_FORMATS = {  # name: (sample rate, bit rate)
    "mp3_22050_32": (22050, 32000), "mp3_24000_48": (24000, 48000),
    "mp3_44100_32": (44100, 32000), "mp3_44100_64": (44100, 64000),
    "mp3_44100_96": (44100, 96000), "mp3_44100_128": (44100, 128000),
    "mp3_44100_192": (44100, 192000), "mp3_44100": (44100, 128000),
}
MODELS = {  # model: characters allowed in one request
    "eleven_multilingual_v2": 10000, "eleven_v3": 5000, "eleven_flash_v2_5": 40000,
    "eleven_turbo_v2_5": 40000, "eleven_flash_v2": 30000, "eleven_turbo_v2": 30000,
}
TEXT = "Dialogue needs two voices."


def decode(data, input_args):
    """Decodes audio bytes with ffmpeg (an independent decoder) to 16 kHz mono samples."""
    result = subprocess.run(["ffmpeg", "-v", "error", *input_args, "-i", "pipe:0",
                             "-f", "s16le", "-ac", "1", "-ar", "16000", "pipe:1"],
                            input=data, capture_output=True, check=True)
    return len(result.stdout) // 2


def probe(data):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "stream=codec_name,sample_rate,channels:format=bit_rate",
                             "-of", "json", "pipe:0"], input=data, capture_output=True,
                            check=True)
    info = json.loads(result.stdout)
    stream = info["streams"][0]
    return (stream["codec_name"], int(stream["sample_rate"]), int(stream["channels"]),
            int(info["format"]["bit_rate"]))


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class RequestTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service()
        cls.url = cls.service.url

    @classmethod
    def tearDownClass(cls):
        assert cls.service.stop()[0] == 0

    def test_every_format_holds_the_same_speech(self):
        reference = synthesize(self.url, TEXT, output_format="pcm_16000")
        self.assertEqual(reference.status, 200)
        seconds = len(reference.body) / 2 / 16000
        for rate in RATES:
            with self.subTest(format=f"pcm_{rate}"):
                pcm = synthesize(self.url, TEXT, output_format=f"pcm_{rate}")
                self.assertEqual((pcm.status, pcm.headers["content-type"]), (200, "audio/pcm"))
                self.assertAlmostEqual(len(pcm.body) / 2 / rate, seconds, delta=0.01)
            with self.subTest(format=f"wav_{rate}"):
                reply = synthesize(self.url, TEXT, output_format=f"WAV_{rate}" if rate == 8000
                                   else f"wav_{rate}")
                self.assertEqual((reply.status, reply.headers["content-type"]),
                                 (200, "audio/wav"))
                with wave.open(io.BytesIO(reply.body)) as wav:
                    self.assertEqual((wav.getframerate(), wav.getnchannels(),
                                      wav.getsampwidth()), (rate, 1, 2))
                    # A WAV answer is the PCM answer of the same rate with a header.
                    self.assertEqual(wav.readframes(wav.getnframes()), pcm.body)
                self.assertEqual(len(reply.body), 44 + len(pcm.body))
        for name, (rate, bit_rate) in MP3_FORMATS.items():
            with self.subTest(format=name):
                reply = synthesize(self.url, TEXT, output_format=name)
                self.assertEqual((reply.status, reply.headers["content-type"]),
                                 (200, "audio/mpeg"))
                codec, probed_rate, channels, probed_bit_rate = probe(reply.body)
                self.assertEqual((codec, probed_rate, channels), ("mp3", rate, 1))
                self.assertAlmostEqual(probed_bit_rate, bit_rate, delta=bit_rate * 0.08)
                self.assertAlmostEqual(decode(reply.body, []) / 16000, seconds, delta=0.1)
        for name, content_type, ffmpeg_format in (("ulaw_8000", "audio/basic", "mulaw"),
                                                  ("alaw_8000", "audio/x-alaw", "alaw")):
            with self.subTest(format=name):
                reply = synthesize(self.url, TEXT, output_format=name)
                self.assertEqual((reply.status, reply.headers["content-type"]),
                                 (200, content_type))
                self.assertEqual(len(reply.body), round(seconds * 8000))  # a byte a sample
                decoded = decode(reply.body, ["-f", ffmpeg_format, "-ar", "8000", "-ac", "1"])
                self.assertAlmostEqual(decoded / 16000, seconds, delta=0.01)
        for name in ("opus_48000_32", "opus_48000_64", "opus_48000_192"):
            with self.subTest(format=name):
                reply = synthesize(self.url, TEXT, output_format=name)
                self.assertEqual((reply.status, reply.error), (400, "invalid_output_format"))

    def test_models(self):
        default = synthesize(self.url, TEXT)
        self.assertEqual(default.status, 200)
        for model in MODELS:
            with self.subTest(model=model):
                reply = synthesize(self.url, TEXT, model_id=model)
                self.assertEqual(reply.status, 200)
        self.assertEqual(synthesize(self.url, TEXT, model_id="eleven_multilingual_v2").body,
                         default.body)
        self.assertEqual(synthesize(self.url, TEXT, model_id=None).body, default.body)
        for model in ("eleven_v9", "ELEVEN_V3", "eleven_monolingual_v1", ""):
            with self.subTest(model=model):
                reply = synthesize(self.url, TEXT, model_id=model)
                if model == "":
                    # An empty identifier asks for no particular model.
                    self.assertEqual(reply.body, default.body)
                    continue
                self.assertEqual((reply.status, reply.error), (400, "model_not_found"))
                self.assertIn(model, reply.json["detail"]["message"])

    def test_character_limit_per_model(self):
        # Padded with spaces, so that a text at the limit is quick to speak. Characters are
        # code points: each emoji counts once.
        for model, limit in MODELS.items():
            at_limit = "Hi 😀😀 there." + " " * (limit - 12)
            self.assertEqual(len(at_limit), limit)
            with self.subTest(model=model, length=limit):
                reply = synthesize(self.url, at_limit, model_id=model)
                self.assertEqual(reply.status, 200)
                self.assertEqual(reply.headers["character-cost"], str(limit))
            with self.subTest(model=model, length=limit + 1):
                reply = synthesize(self.url, at_limit + " ", model_id=model)
                self.assertEqual((reply.status, reply.error), (400, "max_character_limit_exceeded"))
                message = reply.json["detail"]["message"]
                self.assertIn(f"{limit + 1} characters", message)
                self.assertIn(str(limit), message)
                self.assertIn(model, message)
        # Only the text counts, not its neighbours.
        reply = synthesize(self.url, "Short.", model_id="eleven_v3", previous_text="x" * 6000,
                           next_text="y" * 6000)
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.headers["character-cost"], "6")

    def test_invalid_fields_answer_422(self):
        cases = [  # field value, location, type
            ({"voice_settings": {"stability": -0.1}}, ["voice_settings", "stability"],
             "greater_than_equal"),
            ({"voice_settings": {"stability": 1.01}}, ["voice_settings", "stability"],
             "less_than_equal"),
            ({"voice_settings": {"stability": "high"}}, ["voice_settings", "stability"],
             "float_type"),
            ({"voice_settings": {"similarity_boost": 2}}, ["voice_settings", "similarity_boost"],
             "less_than_equal"),
            ({"voice_settings": {"style": -1}}, ["voice_settings", "style"],
             "greater_than_equal"),
            ({"voice_settings": {"speed": 0.69}}, ["voice_settings", "speed"],
             "greater_than_equal"),
            ({"voice_settings": {"speed": 1.21}}, ["voice_settings", "speed"], "less_than_equal"),
            ({"voice_settings": {"use_speaker_boost": "yes"}},
             ["voice_settings", "use_speaker_boost"], "bool_type"),
            ({"voice_settings": "calm"}, ["voice_settings"], "dict_type"),
            ({"seed": -1}, ["seed"], "greater_than_equal"),
            ({"seed": 4294967296}, ["seed"], "less_than_equal"),
            ({"seed": 1.5}, ["seed"], "int_type"),
            ({"seed": "7"}, ["seed"], "int_type"),
            ({"model_id": 3}, ["model_id"], "string_type"),
            ({"language_code": ["de"]}, ["language_code"], "string_type"),
            ({"previous_text": 1}, ["previous_text"], "string_type"),
            ({"next_text": {"a": 1}}, ["next_text"], "string_type"),
        ]
        for fields, location, kind in cases:
            with self.subTest(fields=fields):
                reply = synthesize(self.url, TEXT, **fields)
                self.assertEqual((reply.status, reply.headers["content-type"]),
                                 (422, "application/json"))
                [problem] = reply.json["detail"]
                self.assertEqual(problem["loc"], ["body", *location])
                self.assertEqual(problem["type"], kind)
                self.assertTrue(problem["msg"].startswith("Input should be"), problem["msg"])
        # The edges themselves are fine.
        for fields in ({"voice_settings": {"stability": 0, "similarity_boost": 1, "style": 1,
                                           "speed": 0.7, "use_speaker_boost": False}},
                       {"voice_settings": {"speed": 1.2}}, {"seed": 0}, {"seed": 4294967295},
                       {"voice_settings": None, "seed": None, "language_code": None}):
            with self.subTest(fields=fields):
                self.assertEqual(synthesize(self.url, TEXT, **fields).status, 200)

    def test_settings_change_the_voice_and_repeat_exactly(self):
        baseline = synthesize(self.url, TEXT, model_id="eleven_flash_v2_5").body
        # The service's defaults leave the voice as it is.
        defaults = synthesize(self.url, TEXT, model_id="eleven_flash_v2_5",
                              voice_settings={"stability": 0.5, "similarity_boost": 0.75,
                                              "style": 0, "use_speaker_boost": False,
                                              "speed": 1.0})
        self.assertEqual(defaults.body, baseline)
        variations = {
            "stability 0": {"voice_settings": {"stability": 0.0}},
            "stability 1": {"voice_settings": {"stability": 1.0}},
            "similarity 0": {"voice_settings": {"similarity_boost": 0.0}},
            "style 1": {"voice_settings": {"style": 1.0}},
            "speaker boost": {"voice_settings": {"use_speaker_boost": True}},
            "speed 1.1": {"voice_settings": {"speed": 1.1}},
            "seed 1": {"seed": 1},
            "seed 2": {"seed": 2},
            "language de": {"language_code": "de"},
            "language fr": {"language_code": "fr"},
        }
        clips = {}
        for name, fields in variations.items():
            with self.subTest(name):
                first = synthesize(self.url, TEXT, model_id="eleven_flash_v2_5", **fields)
                self.assertEqual(first.status, 200)
                synthesize(self.url, "Something in between.", voice=BUILT_IN_VOICES[3],
                           seed=9, voice_settings={"style": 0.3})
                again = synthesize(self.url, TEXT, model_id="eleven_flash_v2_5", **fields)
                self.assertEqual(again.body, first.body)
                self.assertNotEqual(first.body, baseline)
                clips[name] = first.body
        self.assertEqual(len(set(clips.values())), len(clips))
        # A service started afresh answers the same bytes.
        other = Service()
        try:
            for name in ("stability 0", "seed 2", "language de"):
                with self.subTest(name, service="second"):
                    again = synthesize(other.url, TEXT, model_id="eleven_flash_v2_5",
                                       **variations[name])
                    self.assertEqual(again.body, clips[name])
        finally:
            self.assertEqual(other.stop()[0], 0)
        # Style lifts the voice.
        self.assertGreater(median_pitch(clips["style 1"]), median_pitch(baseline) * 1.05)
        # Language codes are ignored by the multilingual model and by English-only ones, and
        # by voices already speaking it.
        for model in ("eleven_multilingual_v2", "eleven_flash_v2"):
            with self.subTest(model=model):
                plain = synthesize(self.url, TEXT, model_id=model).body
                self.assertEqual(synthesize(self.url, TEXT, model_id=model,
                                            language_code="de").body, plain)
        self.assertEqual(synthesize(self.url, TEXT, model_id="eleven_flash_v2_5",
                                    language_code="en").body, baseline)
        # A language espeak-ng does not know speaks in the voice's own.
        self.assertEqual(synthesize(self.url, TEXT, model_id="eleven_flash_v2_5",
                                    language_code="qqq").body, baseline)

    def test_listed_voices_sound_apart(self):
        voices = call(self.url, "/v1/voices").json["voices"]
        ids = [voice["voice_id"] for voice in voices]
        self.assertEqual(ids[:4], BUILT_IN_VOICES)
        self.assertEqual(set(ids[4:]), set(EXTRA_VOICES))
        pitches = {}
        for voice_id in ids:
            reply = synthesize(self.url, "The quick brown fox jumps over the lazy dog.",
                               voice=voice_id)
            self.assertEqual(reply.status, 200)
            pitches[voice_id] = median_pitch(reply.body)
        # Any two listed voices are at least a few percent apart in pitch, so a dialogue's
        # speakers are told apart at once; women and men each span a wide range.
        ordered = sorted(pitches.values())
        for low, high in zip(ordered, ordered[1:]):
            self.assertGreater(high / low, 1.05, pitches)
        self.assertLess(ordered[0], 100)
        self.assertGreater(ordered[-1], 220)

    def test_answer_headers(self):
        request_ids = set()
        for text in ("One.", "Two words.", "One."):
            reply = synthesize(self.url, text)
            self.assertEqual(reply.headers["character-cost"], str(len(text)))
            self.assertRegex(reply.headers["request-id"], r"^[0-9a-f]{32}$")
            request_ids.add(reply.headers["request-id"])
        self.assertEqual(len(request_ids), 3)
        # Flash bills half the credits, but the header counts characters.
        reply = synthesize(self.url, "Seven c", model_id="eleven_flash_v2_5")
        self.assertEqual(reply.headers["character-cost"], "7")
        # Without a plan there is no limit to report; errors carry no request id.
        self.assertNotIn("maximum-concurrent-requests", reply.headers)
        refused = synthesize(self.url, "x", model_id="nope")
        self.assertNotIn("request-id", refused.headers)
        self.assertNotIn("character-cost", refused.headers)


if __name__ == "__main__":
    unittest.main()
