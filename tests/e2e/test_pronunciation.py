"""Pronunciation and pauses: the lexicon, <break> pauses, the service's dictionaries."""

import json
import re
import subprocess
import unittest

from support import LyraneTestCase, Response, write_vtt
from test_speechd import BUILT_IN_VOICES, Service, post

CUES = [(i * 2000, i * 2000 + 1500, text) for i, text in enumerate([
    "Dr. Nguyen arrives.", "The rain stops.", "Quiet streets.", "Bring the SQL report.",
    "Everyone waits.", "Lights out.", "A dog barks.", "Morning comes."])]
TABLE = "# names\nNguyen\tWin\nDr.,Doctor\nSQL,sequel\n"
PLS = ('<?xml version="1.0" encoding="UTF-8"?>\n<lexicon version="1.0" '
       'xmlns="http://www.w3.org/2005/01/pronunciation-lexicon" alphabet="ipa" xml:lang="en">\n'
       '<lexeme><grapheme>Nguyen</grapheme><alias>Win</alias></lexeme>\n'
       '<lexeme><grapheme>Dr.</grapheme><alias>Doctor</alias></lexeme>\n'
       '<lexeme><grapheme>SQL</grapheme><alias>sequel</alias></lexeme>\n'
       '<lexeme><grapheme>tomato</grapheme><phoneme>təˈmɑːtoʊ</phoneme></lexeme>\n</lexicon>\n')
DICTIONARY = "Dict0000000000000001"


def silences(path):
    """The silences ffmpeg finds in a file: (start, duration) in seconds."""
    result = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", path, "-af",
                             "silencedetect=noise=-60dB:d=0.3", "-f", "null", "-"],
                            capture_output=True, text=True, check=True)
    starts = [float(s) for s in re.findall(r"silence_start: ([0-9.]+)", result.stderr)]
    lengths = [float(s) for s in re.findall(r"silence_duration: ([0-9.]+)", result.stderr)]
    return list(zip(starts, lengths))


class LexiconTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.vtt = write_vtt(self.path("talk.vtt"), CUES)

    def narrate(self, *extra, cache="cache"):
        self.service.reset()
        result = self.run_lyrane(["--vtt", self.vtt, "--temp-dir", self.path(cache),
                                  "--no-padding", *extra], env=self.env)
        self.assertExitStatus(result, 0)
        return [r for r in self.service.requests if r.method == "POST"]

    def test_both_forms_send_the_spoken_texts_and_keep_untouched_keys(self):
        for form, content in (("table", TABLE), ("pls", PLS)):
            with self.subTest(form=form):
                cache = "cache-" + form
                lexicon = self.write_text("words." + form, content)
                self.assertEqual(len(self.narrate(cache=cache)), len(CUES))
                sent = self.narrate("--lexicon", lexicon, cache=cache)
                # Cues 0-4 say or hear a changed text; the others keep their keys and clips.
                self.assertEqual([r.text for r in sent], [
                    "Doctor Win arrives.", "The rain stops.", "Quiet streets.",
                    "Bring the sequel report.", "Everyone waits."])
                self.assertEqual(sent[1].previous_text, "Doctor Win arrives.")
                self.assertEqual(sent[2].next_text, "Bring the sequel report.")
                self.assertEqual(self.narrate("--lexicon", lexicon, cache=cache), [])

    def test_editing_one_rule_asks_only_for_its_cues(self):
        lexicon = self.write_text("words.txt", TABLE)
        self.narrate("--lexicon", lexicon)
        self.write_text("words.txt", TABLE.replace("SQL,sequel", "SQL,S Q L"))
        sent = self.narrate("--lexicon", lexicon)
        self.assertEqual([r.text for r in sent],
                         ["Quiet streets.", "Bring the S Q L report.", "Everyone waits."])

    def test_dry_run_lists_the_spoken_text_and_reports_both(self):
        lexicon = self.write_text("words.txt", TABLE)
        report = self.path("report.json")
        result = self.run_lyrane(["--vtt", self.vtt, "--dry-run", "--lexicon", lexicon,
                                  "--report", report, "--temp-dir", self.path("c")], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertIn("  Text: Dr. Nguyen arrives.\n  Spoken: Doctor Win arrives.\n",
                      result.stdout)
        self.assertEqual(result.stdout.count("Spoken:"), 2)
        with open(report, encoding="utf-8") as file:
            first = json.load(file)["cues"][0]
        self.assertEqual((first["written_text"], first["text"], first["characters"]),
                         ("Dr. Nguyen arrives.", "Doctor Win arrives.", 19))
        self.assertEqual(self.service.request_count, 0)

    def test_refusals_come_before_any_request(self):
        bad_lexicon = self.write_text("bad.txt", "Nguyen,Win\nSQL\n")
        bad_pls = self.write_text("bad.pls", "<lexicon>\n<lexeme><grapheme>x</grapheme>\n")
        paused = write_vtt(self.path("paused.vtt"), [(0, 900, "Fine."),
                                                     (1000, 2000, 'Wait <break time="fast"/> now')])
        long_pause = write_vtt(self.path("long.vtt"), [(0, 900, 'Wait <break time="12s"/> now')])
        for args, message in [
            (["--vtt", self.vtt, "--lexicon", bad_lexicon], f"Lexicon {bad_lexicon} line 2: expected term<TAB>replacement or term,replacement\n"),
            (["--vtt", self.vtt, "--lexicon", bad_pls], f"Lexicon {bad_pls} line 3, column "),
            (["--vtt", self.vtt, "--lexicon", self.path("none.txt")], f"Cannot read lexicon {self.path('none.txt')}: "),
            (["--vtt", paused], 'Cue 2: <break time="fast"/> is not a pause lyrane can make'),
            (["--vtt", long_pause], 'Cue 1: <break time="12s"/> asks for a pause longer than the 10 s allowed\n'),
            (["--say", "Hi", "--pronunciation-dictionary", "short"], "--pronunciation-dictionary must be an ID of 20 letters and digits"),
            (["--say", "Hi"] + ["--pronunciation-dictionary", DICTIONARY] * 4, "--pronunciation-dictionary may be given at most three times\n"),
            (["--say", "Hi", "--normalize", "always"], "--normalize must be auto, on or off\n"),
        ]:
            with self.subTest(message=message):
                result = self.run_lyrane(args + ["--temp-dir", self.path("c")], env=self.env)
                self.assertExitStatus(result, 1)
                self.assertIn(message, result.stderr)
        self.assertEqual(self.service.request_count, 0)

    def test_dictionaries_and_normalization_go_on_the_wire_and_into_the_key(self):
        args = ["--pronunciation-dictionary", DICTIONARY + ":v2", "--pronunciation-dictionary",
                "Dict0000000000000002", "--normalize", "off"]
        sent = self.narrate(*args)
        self.assertEqual(sent[0].json["pronunciation_dictionary_locators"], [
            {"pronunciation_dictionary_id": DICTIONARY, "version_id": "v2"},
            {"pronunciation_dictionary_id": "Dict0000000000000002"}])
        self.assertEqual(sent[0].json["apply_text_normalization"], "off")
        self.assertEqual(len(self.narrate()), len(CUES))
        self.assertNotIn("apply_text_normalization", self.service.requests[0].json)

    def test_dictionaries_are_listed_page_by_page(self):
        pages = [{"pronunciation_dictionaries": [{"id": "B" * 20, "name": "names",
                                                  "latest_version_id": "v9"}],
                  "has_more": True, "next_cursor": "page 2"},
                 {"pronunciation_dictionaries": [{"id": "A" * 20, "name": "Acronyms",
                                                  "latest_version_id": "v1"}],
                  "has_more": False, "next_cursor": None}]
        self.service.responder = lambda record, index: Response(
            headers={"Content-Type": "application/json"},
            body=json.dumps(pages[1 if record.query.get("cursor") == "page 2" else 0]).encode())
        result = self.run_lyrane(["--list-dictionaries"], env=self.env)
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stdout, f"Acronyms  {'A' * 20}  v1\nnames  {'B' * 20}  v9\n")
        self.assertEqual([r.path for r in self.service.requests],
                         ["/v1/pronunciation-dictionaries"] * 2)

    def test_pause_parts_are_sent_alone_and_cached(self):
        vtt = write_vtt(self.path("p.vtt"), [(0, 5000, 'One. <break time="1.5s"/> Two.'),
                                             (6000, 7000, "Three.")])
        out, captions = self.path("p.wav"), self.path("p.srt")
        args = ["--vtt", vtt, "--temp-dir", self.path("c"), "--output", out, "--captions-out",
                captions]
        self.assertExitStatus(self.run_lyrane(args, env=self.env), 0)
        with open(captions, encoding="utf-8") as file:
            self.assertIn("\nOne. Two.\n", file.read())
        sent = [(r.text, r.previous_text, r.next_text) for r in self.service.requests]
        self.assertEqual(sent, [("One.", None, "Two."), ("Two.", "One.", "Three."),
                                ("Three.", "One. Two.", None)])
        # Tones have no quiet ends: the silence between them is the pause.
        gap = [length for start, length in silences(out) if start < 4]
        self.assertAlmostEqual(gap[0], 1.5, delta=0.01)
        self.service.reset()
        self.assertExitStatus(self.run_lyrane(args, env=self.env), 0)
        self.assertEqual(self.service.request_count, 0)


class OfflinePronunciationTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.pls = self.write_text("names.pls", PLS)
        self.service = Service("--dictionary", self.pls)
        self.addCleanup(self.service.stop)
        self.env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}

    def say(self, text, *extra):
        self.said = getattr(self, "said", 0) + 1
        out = self.path("say-%d.wav" % self.said)
        result = self.run_lyrane(["--say", text, "--output", out, "--temp-dir",
                                  self.path("cache"), *extra], env=self.env)
        self.assertExitStatus(result, 0)
        with open(out, "rb") as file:
            return file.read()

    def test_a_loaded_dictionary_is_listed_and_its_aliases_spoken(self):
        listing = self.run_lyrane(["--list-dictionaries"], env=self.env)
        self.assertExitStatus(listing, 0)
        name, ident, version = listing.stdout.split()
        self.assertEqual((name, len(ident), len(version)), ("names", 20, 20))
        self.assertEqual(self.say("Ask Nguyen.", "--pronunciation-dictionary", ident),
                         self.say("Ask Win."))
        self.assertEqual(self.say("Ask Nguyen.", "--lexicon", self.pls), self.say("Ask Win."))
        self.assertNotEqual(self.say("Ask Nguyen."), self.say("Ask Win."))
        unknown = self.run_lyrane(["--say", "Hi", "--output", self.path("x.wav"),
                                   "--pronunciation-dictionary", DICTIONARY], env=self.env)
        self.assertExitStatus(unknown, 1)
        self.assertIn(f"Pronunciation dictionary {DICTIONARY} (version latest) does not exist",
                      unknown.stderr)

    def test_the_service_checks_the_fields_it_takes(self):
        locator = {"pronunciation_dictionary_id": DICTIONARY}
        for field, value in (("pronunciation_dictionary_locators", [locator] * 4),
                             ("apply_text_normalization", "sometimes")):
            with self.subTest(field=field):
                status, _, body = post(self.service.url, BUILT_IN_VOICES[0], "pcm_16000",
                                       {"text": "Hi.", field: value})
                self.assertEqual(status, 422)
                self.assertEqual(json.loads(body)["detail"][0]["loc"], ["body", field])

    def test_a_pause_is_silence_of_its_length_between_spoken_parts(self):
        vtt = write_vtt(self.path("p.vtt"), [(0, 8000, 'Good morning. <break time="1.5s"/> '
                                                       'Let us begin.')])
        out = self.path("p.wav")
        result = self.run_lyrane(["--vtt", vtt, "--output", out, "--temp-dir",
                                  self.path("cache")], env=self.env)
        self.assertExitStatus(result, 0)
        longest = max(length for start, length in silences(out) if start < 2.5)
        self.assertAlmostEqual(longest, 1.5, delta=0.01)


if __name__ == "__main__":
    unittest.main()
