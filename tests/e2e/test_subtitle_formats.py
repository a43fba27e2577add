"""Subtitle files as other programs write them: SRT, WebVTT without hours, legacy encodings,
markup and rolling automatic captions, narrated and listed end to end."""

import html
import html.entities
import os
import re
import unittest

from support import LyraneTestCase, read_wav
from test_speechd import Service

RATE = 44100

# SRT as subtitle editors write it: CR LF, comma before the milliseconds, font tags and an
# override block, a cue that is only a number.
SRT = (
    "1\r\n00:00:00,500 --> 00:00:02,000\r\n{\\an8}<font color=\"#ffff00\">Where to?</font>\r\n\r\n"
    "2\r\n00:00:02,500 --> 00:00:04,000\r\n<i>North</i>, &amp; fast.\r\n\r\n"
    "3\r\n00:00:04.500 --> 00:00:05,500\r\n72\r\n\r\n"
)
SRT_TEXTS = ["Where to?", "North, & fast.", "72"]

# A speech recogniser's WebVTT: no hours, voice spans, inline markup.
HOURLESS_VTT = (
    "WEBVTT\n\n"
    "00:00.200 --> 00:01.800\n<v Anna>The kettle is on.</v>\n\n"
    "00:02.000 --> 00:03.500\n<v.soft Ben>Then we <b>wait</b>.\n\n"
)
HOURLESS_TEXTS = ["The kettle is on.", "Then we wait."]

# Windows' Western code page: accents, typographic quotes, the euro sign.
FRENCH = ["CE FILM RELATE DES ÉVÉNEMENTS RÉELS.", "À l’époque, personne n’y croyait.",
          "« Ça ne marchera jamais », disait-il.", "Café “noir” €5"]

ROLLING_VTT = (
    "WEBVTT\nKind: captions\nLanguage: en\n\n"
    "00:00:00.100 --> 00:00:01.990 align:start position:0%\n \n"
    "we<00:00:00.500><c> planted</c><00:00:01.000><c> trees</c>\n\n"
    "00:00:01.990 --> 00:00:02.000 align:start position:0%\nwe planted trees\n \n\n"
    "00:00:02.000 --> 00:00:03.990 align:start position:0%\nwe planted trees\n"
    "all<00:00:02.500><c> along</c><00:00:03.000><c> the</c><00:00:03.400><c> river</c>\n\n"
    "00:00:03.990 --> 00:00:04.000 align:start position:0%\nall along the river\n \n\n"
)


def listed_texts(stdout):
    return re.findall(r"^  Text: (.*)$", stdout, re.MULTILINE)


class FakeServiceFormatsTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.cache = self.path("cache")

    def narrate(self, subtitles, *extra):
        return self.run_lyrane(["--vtt", subtitles, "--temp-dir", self.cache, "--output",
                                self.path("out.wav"), *extra], env=self.env)

    def test_srt_is_narrated_with_plain_words(self):
        srt = self.path("film.srt")
        with open(srt, "w", encoding="utf-8", newline="") as out:
            out.write(SRT)
        result = self.narrate(srt)
        self.assertExitStatus(result, 0)
        requests = self.service.requests
        self.assertEqual([r.text for r in requests], SRT_TEXTS)
        self.assertEqual([r.previous_text for r in requests], [None] + SRT_TEXTS[:2])
        self.assertEqual([r.next_text for r in requests], SRT_TEXTS[1:] + [None])
        self.assertEqual(len(read_wav(self.path("out.wav"))[2]), round(5.5 * RATE))

    def test_hourless_webvtt_is_narrated_without_markup(self):
        vtt = self.write_text("recognised.vtt", HOURLESS_VTT)
        result = self.narrate(vtt, "--no-padding")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.service.requests], HOURLESS_TEXTS)
        self.assertIn("(from 00:00:02.000 to 00:00:03.500)", result.stderr)

    def test_windows_1252_file(self):
        legacy = self.path("legacy.srt")
        with open(legacy, "wb") as out:
            out.write("".join("%d\r\n00:00:0%d,000 --> 00:00:0%d,500\r\n%s\r\n\r\n"
                              % (i + 1, i * 2, i * 2 + 1, text)
                              for i, text in enumerate(FRENCH)).encode("windows-1252"))
        result = self.narrate(legacy, "--encoding", "windows-1252", "--no-padding")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.service.requests], FRENCH)

        # Listed with the option, and without it: then the encoding is detected, and said once.
        notice = ("%s: not UTF-8; read as windows-1252, the encoding detected in it (--encoding "
                  "names another)\n" % legacy)
        for extra, said in ((["--encoding", "windows-1252"], 0), ([], 1)):
            listing = self.run_lyrane(["--vtt", legacy, "--dry-run", *extra])
            self.assertExitStatus(listing, 0)
            self.assertEqual(listed_texts(listing.stdout), FRENCH)
            self.assertEqual(listing.stderr.count(notice), said, listing.stderr)

    def test_undetectable_encoding_stops_before_any_request(self):
        odd = self.path("odd.srt")
        with open(odd, "wb") as out:
            out.write(b"1\r\n00:00:01,000 --> 00:00:02,000\r\nOK\r\n\r\n2\r\n"
                      b"00:00:03,000 --> 00:00:04,000\r\na\x81z\r\n")
        result = self.narrate(odd)
        self.assertExitStatus(result, 1)
        self.assertEqual(self.service.requests, [])
        self.assertEqual(result.stderr, "failed to parse VTT file: %s: line 7 is not UTF-8 and the "
                         "file's encoding could not be detected; name it with --encoding\n" % odd)

    def test_rolling_captions_speak_each_line_once(self):
        vtt = self.write_text("auto.en.vtt", ROLLING_VTT)
        result = self.narrate(vtt, "--no-padding")
        self.assertExitStatus(result, 0)
        self.assertEqual([r.text for r in self.service.requests],
                         ["we planted trees", "all along the river"])
        self.assertIn("(from 00:00:02.000 to 00:00:03.990)", result.stderr)

    def test_batch_takes_webvtt_and_srt(self):
        os.makedirs(self.path("talks"))
        vtt = self.path("talks", "one.vtt")
        srt = self.path("talks", "two.srt")
        with open(vtt, "w", encoding="utf-8") as out:
            out.write(HOURLESS_VTT)
        with open(srt, "w", encoding="utf-8", newline="") as out:
            out.write(SRT)
        result = self.run_lyrane(["--batch", "%s,%s" % (vtt, srt), "--temp-dir", self.cache],
                                 env=self.env)
        self.assertExitStatus(result, 0)
        self.assertTrue(result.stderr.endswith("Batch complete: 2 files\n"), result.stderr)
        self.assertEqual([r.text for r in self.service.requests], HOURLESS_TEXTS + SRT_TEXTS)
        self.assertEqual(len(read_wav(self.path("talks", "one.wav"))[2]), round(3.5 * RATE))
        self.assertEqual(len(read_wav(self.path("talks", "two.wav"))[2]), round(5.5 * RATE))


class ListingAndMessagesTest(LyraneTestCase):
    def listing(self, name, content, *extra):
        path = self.path(name)
        with open(path, "wb") as out:
            out.write(content)
        return self.run_lyrane(["--vtt", path, "--dry-run", *extra])

    def test_shapes_list_the_cues_a_viewer_sees(self):
        cases = [
            ("utf16le.vtt", "\ufeff" + HOURLESS_VTT, "utf-16-le", HOURLESS_TEXTS),
            ("utf16be.srt", "\ufeff" + SRT, "utf-16-be", SRT_TEXTS),
            ("cr.vtt", HOURLESS_VTT.replace("\n", "\r"), "utf-8", HOURLESS_TEXTS),
            ("bom.srt", "\ufeff" + SRT, "utf-8", SRT_TEXTS),
            ("numbered.txt", SRT, "utf-8", SRT_TEXTS),
        ]
        for name, text, encoding, texts in cases:
            with self.subTest(name):
                result = self.listing(name, text.encode(encoding))
                self.assertExitStatus(result, 0)
                self.assertEqual(listed_texts(result.stdout), texts)

    def test_editor_srt_lists_what_is_said(self):
        # Timings, escapes and codes as subtitle editors write them, and a block without timing.
        srt = ("1\r\n00:01:39 --> 00:01:41,04\r\n\\h\\h\\hA line{Y:i}\\Nbroken\r\n\r\n"
               "2\r\n00:02:04,08 --> 00:02:07,12 X1:40 X2:600 Y1:20 Y2:50\r\n{\\an8}Top\r\n\r\n"
               "4\r\nLost without timing\r\n\r\n3\r\n00:02:12.16 --> 00:02:15.20\r\n<3 x < y\r\n")
        result = self.listing("editor.srt", srt.encode())
        self.assertExitStatus(result, 0)
        self.assertEqual(listed_texts(result.stdout), ["A line broken", "Top", "<3 x < y"])
        self.assertEqual(re.findall(r"^  (?:Start|End) Time: (.*)$", result.stdout, re.MULTILINE),
                         ["00:01:39.000", "00:01:41.040", "00:02:04.080", "00:02:07.120",
                          "00:02:12.160", "00:02:15.200"])
        self.assertIn("%s: the block at line 9 has no timing line and is left out\n"
                      % self.path("editor.srt"), result.stderr)

    def test_messages_name_what_is_wrong(self):
        cases = [
            ("bad.srt", b"1\n00:00:03,000 --> 00:00:60,000\nB\n",
             "SRT file contains no cues (no timing line could be read; 1 unusable, the first at "
             "line 2: invalid seconds in timestamp: 00:00:60,000)\n"),
            ("empty.srt", b"1\n00:00:01,000 --> 00:00:02,000\n\n", "SRT file contains no cues\n"),
            ("notes.txt", b"Shopping list\nmilk\n",
             "failed to parse VTT file: VTT file missing WEBVTT header (not an SRT file either)\n"),
            ("dots.vtt", b"WEBVTT\n\n00:00:01:000 --> 00:00:02:000\nHi\n",
             "VTT file contains no cues (no timing line could be read; 1 unusable, the first at "
             "line 3: invalid timestamp format: 00:00:01:000)\n"),
        ]
        for name, content, message in cases:
            with self.subTest(name):
                result = self.listing(name, content)
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, message)
                self.assertEqual(result.stdout, "")

    def test_each_format_is_read_as_its_writers_mean_it(self):
        # (name, content, texts listed, start times listed, what standard error says of it)
        cases = [
            # WebVTT: a line holding an arrow ends the cue text and is a timing line.
            ("arrows.vtt", "WEBVTT\n\n00:01.000 --> 00:02.000\ntext0\nfoo-->\n\n"
             "00:03.000 --> 00:04.000\nhello\nO0:00:05.000 --> 00:00:06.000\nworld\n",
             ["text0", "hello"], ["00:00:01.000", "00:00:03.000"],
             "2 cues are left out, their timing lines cannot be read; the first at line 5: "
             "invalid timestamp format: foo"),
            # A timestamp out of range leaves out its cue, not the file.
            ("range.vtt", "WEBVTT\n\n00:00:60.000 --> 00:01:01.000\nlost\n\n"
             "60:00:01.000 --> 60:00:02.000\nkept\n", ["kept"], ["60:00:01.000"],
             "the cue at line 3 is left out, its timing line cannot be read: invalid seconds in "
             "timestamp: 00:00:60.000"),
            # SRT: '<' before a digit is text, unless it is an inline timestamp.
            ("compare.srt", "1\n00:00:01,000 --> 00:00:02,000\nIf x<3 and y>5 we stop.\n\n"
             "2\n00:00:03,000 --> 00:00:04,000\nScore 2<3 but<00:00:03,500> 7>4\n",
             ["If x<3 and y>5 we stop.", "Score 2<3 but 7>4"], ["00:00:01.000", "00:00:03.000"],
             ""),
            # SRT: a zero too many in seconds and milliseconds.
            ("zeros.srt", "1\n00:00:013,567 --> 00:00:014,0250\nLate\n\n"
             "2\n00:00:020,000 --> 00:00:021,000\nLater\n", ["Late", "Later"],
             ["00:00:13.567", "00:00:20.000"], ""),
            # SRT: words after a blank line stay in their cue; a numbered block without timing
            # is left out.
            ("blank.srt", "1\n00:00:01,000 --> 00:00:02,000\nFirst part\n\nsecond part\n\n"
             "2\nLost words\n\n3\n00:00:03,000 --> 00:00:04,000\nNext\n",
             ["First part second part", "Next"], ["00:00:01.000", "00:00:03.000"],
             "the block at line 7 has no timing line and is left out"),
        ]
        for name, content, texts, starts, notice in cases:
            with self.subTest(name):
                result = self.listing(name, content.encode())
                self.assertExitStatus(result, 0)
                self.assertEqual(listed_texts(result.stdout), texts)
                self.assertEqual(re.findall(r"^  Start Time: (.*)$", result.stdout, re.MULTILINE),
                                 starts)
                said = [line for line in result.stderr.splitlines()
                        if not line.startswith("Estimate: ")]
                self.assertEqual(said, ["%s: %s" % (self.path(name), notice)] if notice else [])

    def test_a_dialogue_cue_left_out_is_said(self):
        described = self.write_text("described.vtt",
                                    "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nDescribed.\n")
        dialogue = self.write_text("dialogue.vtt", "WEBVTT\n\n00:00:00.000 --> 00:00:00.500\nHi"
                                   "\n\n00:00:00.500 --> 00:00:60.000\nLost\n")
        result = self.run_lyrane(["--vtt", described, "--dialogue", dialogue, "--dry-run"])
        self.assertExitStatus(result, 0)
        self.assertIn("%s: the cue at line 6 is left out, its timing line cannot be read: invalid "
                      "seconds in timestamp: 00:00:60.000\n" % dialogue, result.stderr)

    def test_character_references_read_as_html_reads_them(self):
        # Every name of the HTML table with its ';', and numbers HTML replaces, against
        # Python's own reading; a line feed would end the listed line, so &NewLine; stays out.
        names = sorted(n for n in html.entities.html5 if n.endswith(";") and n != "NewLine;")
        numbers = ["&#%d;" % n for n in (0, 38, 0x80, 0x81, 0x9F, 0xE9, 0xD800, 0x1F600,
                                          0x10FFFD, 0x110000)] + ["&#x263a;", "&#X263A;"]
        text = "|".join(["&" + name for name in names] + numbers)
        result = self.listing("refs.vtt", ("WEBVTT\n\n00:01.000 --> 00:02.000\n[%s]\n"
                                           % text).encode())
        self.assertExitStatus(result, 0)
        self.assertEqual(listed_texts(result.stdout), ["[%s]" % html.unescape(text)])
        # Without their ';' references stay as written.
        result = self.listing("plain.srt", b"1\n00:00:01,000 --> 00:00:02,000\n"
                                           b"R&notes &amp &#65 TOM &AMP; JERRY\n")
        self.assertExitStatus(result, 0)
        self.assertEqual(listed_texts(result.stdout), ["R&notes &amp &#65 TOM & JERRY"])

    def test_unknown_encoding_is_refused_before_any_work(self):
        vtt = self.write_text("x.vtt", HOURLESS_VTT)
        result = self.run_lyrane(["--vtt", vtt, "--dry-run", "--encoding", "no-such-code-page"])
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "--encoding must name a character encoding known to the "
                                        "system, such as windows-1252\n")
        self.assertEqual(result.stdout, "")

    def test_iso_8859_6(self):
        body = "WEBVTT\n\n00:01.000 --> 00:02.000\nمرحبا بكم\n".encode("iso-8859-6")
        result = self.listing("arabic.vtt", body, "--encoding", "iso-8859-6")
        self.assertExitStatus(result, 0)
        self.assertEqual(listed_texts(result.stdout), ["مرحبا بكم"])


class SpeechdFormatsTest(LyraneTestCase):
    def test_srt_and_hourless_webvtt_through_lyrane_speechd(self):
        service = Service()
        self.addCleanup(service.stop)
        env = {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": "offline"}
        srt = self.path("film.srt")
        with open(srt, "w", encoding="utf-8", newline="") as out:
            out.write(SRT)
        vtt = self.write_text("recognised.vtt", HOURLESS_VTT)
        for subtitles, end_ms in ((srt, 5500), (vtt, 3500)):
            with self.subTest(os.path.basename(subtitles)):
                out = self.path(os.path.basename(subtitles) + ".wav")
                result = self.run_lyrane(["--vtt", subtitles, "--temp-dir", self.path("cache"),
                                          "--output", out, "--autopad"], env=env)
                self.assertExitStatus(result, 0)
                rate, channels, samples = read_wav(out)
                self.assertEqual((rate, channels), (RATE, 1))
                self.assertGreaterEqual(len(samples), round(end_ms * RATE / 1000))
                self.assertGreater(max(abs(v) for v in samples), 1000, "no speech in the mix")
        code, log = service.stop()
        self.assertEqual(code, 0)
        self.assertEqual(log.count("POST /v1/text-to-speech/"), len(SRT_TEXTS) +
                         len(HOURLESS_TEXTS), log)


if __name__ == "__main__":
    unittest.main()
