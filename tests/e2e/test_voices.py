"""Dialogue runs: a voice per speaker, voice names of the account, model and voice settings."""

import hashlib
import json
import os
import unittest

from support import (VOICES, LyraneTestCase, Response, cache_key, error_response,
                     speechd_bin, write_vtt)
from test_speechd import Service

ACCOUNT_VOICES = [
    {"voice_id": "StoryTeller000000001", "name": "Story Teller", "category": "cloned",
     "labels": {"accent": "irish", "gender": "male"}},
    {"voice_id": VOICES["Brenn"], "name": "Brenn", "category": "premade",
     "labels": {"accent": "american"}},
    {"voice_id": "AliceVoice0000000002", "name": "alice", "category": "generated", "labels": {}},
]

DIALOGUE = [
    (0, 1000, "<v Anna>Hello there."),
    (1000, 2000, "<v Ben>Hi, Anna."),
    (2000, 3000, "<v Cleo>Am I late?"),
    (3000, 4000, "[Dana] Not at all."),
    (4000, 5000, "Everyone sits down."),
    (5000, 6000, "<v anna>Let us begin."),
]
# What each cue says once its speaker is known.
SPOKEN = ["Hello there.", "Hi, Anna.", "Am I late?", "Not at all.", "Everyone sits down.",
          "Let us begin."]


def with_account(record, index):
    if record.method == "GET" and record.path == "/v1/voices":
        return Response(headers={"Content-Type": "application/json"},
                        body=json.dumps({"voices": ACCOUNT_VOICES}).encode())
    return None


class VoicesCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        default = self.service.default_response
        self.service.responder = lambda record, index: (with_account(record, index)
                                                        or default(record))
        self.env = self.service_env(self.service)
        self.cache = self.path("cache")

    def narrate(self, cues, *extra, env=None):
        vtt = write_vtt(self.path("talk.vtt"), cues)
        return self.run_lyrane(["--vtt", vtt, "--temp-dir", self.cache, "--no-padding"]
                               + list(extra), env=env or self.env)

    def posts(self):
        return [r for r in self.service.requests if r.method == "POST"]

    def cache_files(self):
        return sorted(os.listdir(self.cache)) if os.path.isdir(self.cache) else []


class DialogueTest(VoicesCase):
    def test_each_speaker_in_its_voice_and_the_rest_in_voice(self):
        result = self.narrate(DIALOGUE, "--voices", "anna=Miravel, Ben=story teller",
                              "--voice", "Dostan")
        self.assertExitStatus(result, 0)
        ids = [VOICES["Miravel"], "StoryTeller000000001", VOICES["Dostan"], VOICES["Dostan"],
               VOICES["Dostan"], VOICES["Miravel"]]
        posts = self.posts()
        self.assertEqual([r.voice_id for r in posts], ids)
        self.assertEqual([r.text for r in posts], SPOKEN)
        # Context comes from the neighbours in file order, labels removed as from the text.
        for i, request in enumerate(posts):
            self.assertEqual(request.previous_text, SPOKEN[i - 1] if i > 0 else None)
            self.assertEqual(request.next_text, SPOKEN[i + 1] if i + 1 < len(SPOKEN) else None)
            self.assertEqual(request.json["model_id"], "eleven_multilingual_v2")
        # One look-up of the account's voices for the whole run, with the key.
        gets = [r for r in self.service.requests if r.method == "GET"]
        self.assertEqual([(r.path, r.headers["xi-api-key"]) for r in gets],
                         [("/v1/voices", "test-key")])
        # Each unmapped speaker named once, before synthesis; progress names each cue's voice.
        self.assertIn("Speaker Cleo has no voice in --voices; using Dostan\n"
                      "Speaker Dana has no voice in --voices; using Dostan\n"
                      "Generating audio for segment 1/6", result.stderr)
        self.assertEqual(result.stderr.count("has no voice"), 2)
        self.assertIn("segment 2/6 (from 00:00:01.000 to 00:00:02.000) using voice story teller "
                      "in pcm_44100 format... Hi, Anna.\n", result.stderr)
        self.assertIn("using voice Miravel in pcm_44100 format... Let us begin.\n", result.stderr)
        # Default settings: each clip is named by the recipe every earlier version used.
        expected = {cache_key(SPOKEN[i], SPOKEN[i - 1] if i else "",
                              SPOKEN[i + 1] if i + 1 < len(SPOKEN) else "", ids[i], 1.0) + ".wav"
                    for i in range(len(SPOKEN))}
        self.assertEqual(set(self.cache_files()), expected)

    def test_without_a_map_nobody_is_reported_and_labels_can_be_kept(self):
        cues = [(0, 1000, "ANNA: One."), (1000, 2000, "ANNA: Two."), (2000, 3000, "Note: three.")]
        result = self.narrate(cues)
        self.assertExitStatus(result, 0)
        self.assertNotIn("has no voice", result.stderr)
        self.assertEqual([r.text for r in self.posts()], ["One.", "Two.", "Note: three."])
        self.assertEqual({r.voice_id for r in self.posts()}, {VOICES["Brenn"]})
        self.assertEqual([r.method for r in self.service.requests], ["POST"] * 3)

        self.service.reset()
        result = self.narrate(cues, "--speaker-labels", "off", "--voices", "Anna=Miravel")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.posts()], ["ANNA: One.", "ANNA: Two.",
                                                           "Note: three."])
        self.assertEqual({r.voice_id for r in self.posts()}, {VOICES["Brenn"]})

    def test_voices_file_and_voice_names_of_the_account(self):
        voices = self.write_text("voices.txt", "# cast\nAnna = ALICE  # an account voice\n"
                                 "\nBen=pNInz6obpgDQGcFmaJgB\n")
        result = self.narrate(DIALOGUE[:2], "--voices", "@" + voices, "--voice", "Nobody Here")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.voice_id for r in self.posts()],
                         ["AliceVoice0000000002", VOICES["Dostan"]])
        self.assertEqual(len(self.service.requests), 3)

        # A failed look-up leaves the value as an identifier.
        self.service.reset()
        self.service.responder = lambda record, index: (
            error_response(401, "invalid_api_key") if record.method == "GET"
            else self.service.default_response(record))
        result = self.narrate(DIALOGUE[:1], "--voice", "story teller")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.voice_id for r in self.posts()], ["story teller"])

        self.service.reset()
        result = self.run_lyrane(["--say", "Hi.", "--voice", "Story Teller", "--temp-dir",
                                  self.cache, "--output", self.path("hi.wav")], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertIn("Could not look up voice names in the account", result.stderr)
        self.assertEqual([r.voice_id for r in self.posts()], ["Story Teller"])


class ListingTest(VoicesCase):
    def listing(self, cues, *extra):
        vtt = write_vtt(self.path("list.vtt"), cues)
        result = self.run_lyrane(["--vtt", vtt, "--dry-run"] + list(extra), env={})
        self.assertExitStatus(result, 0)
        return result.stdout

    def test_speaker_lines_and_the_unchanged_listing(self):
        out = self.listing(DIALOGUE[:5], "--voices", "ANNA=Miravel", "--voice", "Ottaline")
        self.assertIn("Cue #1:\n  Start Time: 00:00:00.000\n  End Time: 00:00:01.000\n"
                      "  Duration: 1000 ms\n  Text: Hello there.\n"
                      "  Speaker: Anna (voice Miravel)\n\nCue #2:", out)
        self.assertIn("  Text: Not at all.\n  Speaker: Dana (voice Ottaline)\n\n", out)
        self.assertIn("  Text: Everyone sits down.\n\n=== END", out)

        plain = self.listing([(0, 1500, "Note: the first line."), (1500, 2000, "Second.")],
                             "--voices", "Anna=Miravel")
        self.assertEqual(plain,
                         "\n=== VTT CUES INFORMATION ===\nTotal cues: 2\n\n"
                         "Cue #1:\n  Start Time: 00:00:00.000\n  End Time: 00:00:01.500\n"
                         "  Duration: 1500 ms\n  Text: Note: the first line.\n\n"
                         "Cue #2:\n  Start Time: 00:00:01.500\n  End Time: 00:00:02.000\n"
                         "  Duration: 500 ms\n  Text: Second.\n\n"
                         "=== END OF VTT CUES INFORMATION ===\n")


class SettingsTest(VoicesCase):
    def test_each_setting_on_the_wire_and_in_the_key(self):
        text = "Settings matter."
        today = cache_key(text, "", "", VOICES["Brenn"], 1.0)
        rows = [
            ([], {}, None, ""),
            (["--model", "eleven_multilingual_v2"], {}, None, ""),
            (["--model", "eleven_flash_v2_5"], {"model_id": "eleven_flash_v2_5"}, None,
             "|model_id=eleven_flash_v2_5"),
            ([], {"model_id": "eleven_v3"}, {"LYRANE_MODEL": "eleven_v3"}, "|model_id=eleven_v3"),
            (["--language", "de"], {"language_code": "de"}, None,
             "|model_id=eleven_multilingual_v2|language_code=de"),
            (["--stability", "0.30"], {"voice_settings": {"stability": 0.3}}, None,
             "|model_id=eleven_multilingual_v2|stability=0.3"),
            (["--similarity", "1"], {"voice_settings": {"similarity_boost": 1}}, None,
             "|model_id=eleven_multilingual_v2|similarity_boost=1"),
            (["--style", "0.25", "--speed", "1.1"],
             {"voice_settings": {"style": 0.25, "speed": 1.1}}, None,
             "|model_id=eleven_multilingual_v2|style=0.25"),
            (["--speaker-boost"], {"voice_settings": {"use_speaker_boost": True}}, None,
             "|model_id=eleven_multilingual_v2|use_speaker_boost=true"),
            (["--seed", "4294967295"], {"seed": 4294967295}, None,
             "|model_id=eleven_multilingual_v2|seed=4294967295"),
        ]
        seen = set()
        for args, fields, env, part in rows:
            with self.subTest(args=args, env=env):
                self.service.reset()
                result = self.narrate([(0, 1000, text)], *args,
                                      env=dict(self.env, **(env or {})))
                self.assertExitStatus(result, 0)
                speed = 1.1 if "--speed" in args else 1.0
                key = hashlib.md5((text + VOICES["Brenn"] + "%.2f" % speed + part)
                                  .encode()).hexdigest()
                self.assertIn(key + ".wav", self.cache_files())
                if key in seen:
                    # Naming the default model is the default request: found in the cache.
                    self.assertEqual(self.service.request_count, 0)
                    continue
                seen.add(key)
                body = self.posts()[0].json
                expected = {"text": text, "model_id": "eleven_multilingual_v2"}
                expected.update(fields)
                self.assertEqual(body, expected)
                if not part:
                    self.assertEqual(key, today)
        self.assertEqual(len(seen), len(rows) - 1)

    def test_unknown_models_pass_with_a_warning(self):
        result = self.narrate([(0, 1000, "New model.")], "--model", "eleven_future_v9")
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stderr.count("eleven_future_v9"), 1)
        self.assertEqual(self.posts()[0].json["model_id"], "eleven_future_v9")

    def test_validation_messages(self):
        vtt = write_vtt(self.path("v.vtt"), [(0, 1000, "Hi.")])
        rows = [
            (["--stability", "1.01"], None, "--stability must be between 0 and 1\n"),
            (["--similarity", "-0.1"], None, "--similarity must be between 0 and 1\n"),
            (["--style", "much"], None, "--style must be between 0 and 1\n"),
            (["--seed", "4294967296"], None, "--seed must be between 0 and 4294967295\n"),
            (["--seed", "-1"], None, "--seed must be between 0 and 4294967295\n"),
            (["--language", "DE"], None, "--language must be two or three lower-case letters\n"),
            (["--model", "Eleven-V3"], None,
             "--model must be a model identifier of lower-case letters, digits and "
             "underscores, such as eleven_multilingual_v2\n"),
            ([], {"LYRANE_MODEL": "v 3"},
             "LYRANE_MODEL must be a model identifier of lower-case letters, digits and "
             "underscores, such as eleven_multilingual_v2\n"),
            (["--speaker-labels", "yes"], None, "--speaker-labels must be on or off\n"),
            (["--voices", "Anna"], None, "--voices: \"Anna\" is not a Name=Voice pair\n"),
            (["--voices", "Anna=Miravel,anna=Dostan"], None,
             "--voices: Anna is given two voices, Miravel and Dostan\n"),
            (["--voices", " , "], None, "--voices: no Name=Voice pairs given\n"),
            (["--voices", "@" + self.path("missing.txt")], None, None),
        ]
        for args, env, message in rows:
            with self.subTest(args=args, env=env):
                result = self.run_lyrane(["--vtt", vtt, "--temp-dir", self.cache] + args,
                                         env=dict(self.env, **(env or {})))
                self.assertExitStatus(result, 1)
                if message is None:
                    self.assertTrue(result.stderr.startswith("--voices file "), result.stderr)
                else:
                    self.assertEqual(result.stderr, message)
                self.assertEqual(result.stdout, "")
        self.assertEqual(self.service.request_count, 0)
        self.assertFalse(os.path.exists(self.cache))


class ListVoicesTest(VoicesCase):
    def test_list_voices_from_the_account(self):
        result = self.run_lyrane(["--list-voices"], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stdout,
                         "alice  AliceVoice0000000002  generated\n"
                         "Brenn  21m00Tcm4TlvDq8ikWAM  premade  accent=american  (built-in)\n"
                         "Story Teller  StoryTeller000000001  cloned  accent=irish, "
                         "gender=male\n")
        self.assertEqual([(r.method, r.path, r.headers["xi-api-key"])
                          for r in self.service.requests], [("GET", "/v1/voices", "test-key")])
        self.assertFalse(os.path.exists(os.path.join(self.home, "tmp", "lyrane-audio")))

    def test_list_voices_failures(self):
        result = self.run_lyrane(["--list-voices"], env={"LYRANE_API_URL": self.service.url})
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.request_count, 0)

        self.service.responder = lambda record, index: error_response(401, "invalid_api_key")
        result = self.run_lyrane(["--list-voices"], env=self.env)
        self.assertExitStatus(result, 1)
        self.assertTrue(result.stderr.startswith("failed to list voices: HTTP 401: "),
                        result.stderr)
        self.assertEqual(result.stdout, "")

        # An answer that echoes the key: neither the listing nor a run's warning shows it.
        key = "sk_echoed_4f8e2a9c71d3"
        env = self.service_env(self.service, api_key=key)
        for body in (json.dumps({"detail": {"status": "invalid_api_key",
                                            "message": "Key %s is not valid" % key}}),
                     "<html>\n<p>Key %s is not valid</p>\n</html>\n" % key):
            self.service.responder = lambda record, index: (
                Response(status=401, body=body.encode()) if record.method == "GET"
                else self.service.default_response(record))
            listing = self.run_lyrane(["--list-voices"], env=env)
            run = self.run_lyrane(["--say", "Hi.", "--voice", "Story Teller", "--temp-dir",
                                   self.cache, "--output", self.path("hi.wav")], env=env)
            self.assertExitStatus(run, 0)
            self.assertIn("Key [API key] is not valid", listing.stderr)
            self.assertEqual(len(listing.stderr.splitlines()), 1, listing.stderr)
            self.assertNotIn(key, listing.stderr + run.stderr + run.stdout)


@unittest.skipUnless(os.path.exists(speechd_bin()), "lyrane-speechd is not built")
class OfflineDialogueTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        os.environ.setdefault("LYRANE_SPEECHD_BIN", speechd_bin())
        self.speechd = Service("--port", "0", "--strict-voices")
        self.addCleanup(self.speechd.stop)
        self.env = {"LYRANE_API_URL": self.speechd.url, "ELEVENLABS_API_KEY": "offline"}

    def test_dialogue_example_with_two_voices_and_the_voice_list(self):
        listed = self.run_lyrane(["--list-voices"], env=self.env)
        self.assertExitStatus(listed, 0)
        lines = listed.stdout.splitlines()
        self.assertEqual(len(lines), 8)
        self.assertEqual([l.split("  ")[0] for l in lines],
                         sorted((l.split("  ")[0] for l in lines), key=str.lower))
        self.assertEqual(sum(l.endswith("(built-in)") for l in lines), 4)
        self.assertIn("Harriet Vale  Cl0nEdVo1ceHv7Qe2Xz9  cloned", listed.stdout)

        # An account voice by name: with --strict-voices an unresolved name would answer 400.
        example = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples",
                               "dialogue.vtt")
        out = self.path("dialogue.wav")
        result = self.run_lyrane(["--vtt", example, "--voices", "Anna=Miravel,Ben=harriet vale",
                                  "--temp-dir", self.path("cache"), "--autopad", "--output",
                                  out], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stderr.count("using voice Miravel"), 4)
        self.assertEqual(result.stderr.count("using voice harriet vale"), 4)
        self.assertGreater(os.path.getsize(out), 44)


if __name__ == "__main__":
    unittest.main()
