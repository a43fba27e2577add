"""Audio description exchange formats end to end: a drop-frame script table narrated into stems
(read back with ffprobe and the wave module) and a DAPT script (read with xml.etree, then by
lyrane itself); the ducking a DAPT script states measured in the mix; a DAPT script narrated
with every feature; and bad scripts and options refused before any request."""

import base64
import io
import json
import math
import os
import subprocess
import wave
import xml.etree.ElementTree as ET
from array import array

from support import LyraneTestCase, read_wav, write_vtt
from test_programme_mix import PLACEMENT, ffmpeg
from test_speechd import Service

NS = {"tt": "http://www.w3.org/ns/ttml", "ttm": "http://www.w3.org/ns/ttml#metadata",
      "tta": "http://www.w3.org/ns/ttml#audio", "ttp": "http://www.w3.org/ns/ttml#parameter",
      "daptm": "http://www.w3.org/ns/ttml/profile/dapt#metadata",
      "xml": "http://www.w3.org/XML/1998/namespace"}
# At 29.97 fps drop-frame, 00:01:00;02 is frame 1,800 and 00:10:00;00 frame 17,982; a frame is
# 1001/30 ms. The origin 00:00:59;28 is frame 1,798: 1,798 * 1001/30000 s * 48,000 samples.
TABLE = ("In,Out,Text,Speaker\n00:01:00;02,00:01:02;00,\"A gull lands, wings wide.\",Anna\n"
         "00:01:03;00,00:01:05;00,The lamp turns.,\n00:10:00;00,00:10:02;00,Dawn breaks.,Ben\n")
TABLE_MS = [(60060, 61995), (62996, 64998), (599999, 602001)]
FROM_ORIGIN_MS = [(67, 2002), (3003, 5005), (540006, 542008)]
ORIGIN_SAMPLES = 2879677


def at(name, prefix="tt"):
    return "{%s}%s" % (NS[prefix], name)


def ms(clock):
    hours, minutes, seconds = clock.split(":")
    return round((int(hours) * 3600 + int(minutes) * 60 + float(seconds)) * 1000)


def events(path):
    """Each div: its attributes, its p, span and animations, and the clip's times."""
    root = ET.parse(path).getroot()
    found = []
    for div in root.iter(at("div")):
        p = div.find("tt:p", NS)
        span = p.find("tt:span", NS)
        begin, audio = ms(div.get("begin")), span.find("tt:audio", NS)
        found.append({"div": div, "p": p, "begin": begin, "end": ms(div.get("end")),
                      "clip": (begin + ms(span.get("begin")), begin + ms(span.get("end"))),
                      "animate": p.findall("tt:animate", NS), "audio": audio,
                      "text": (span.text or "") + (audio.tail or "")})
    return root, found


def report_cues(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["cues"]


def probe(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,"
                           "sample_rate,channels:format=duration:format_tags", "-of", "json", path],
                          capture_output=True, text=True, check=True)
    info = json.loads(done.stdout)
    return info["streams"][0], info["format"]


class ExchangeFormatsTest(LyraneTestCase):
    def narrate(self, script, *extra, env=None):
        return self.run_lyrane(["--vtt", script, "--temp-dir", self.path("cache"),
                                "--no-credit-check", *extra], env=env or self.env)

    def test_drop_frame_table_into_stems_and_a_dapt_script_read_back(self):
        service = Service()
        self.addCleanup(service.stop)
        self.env = {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": "offline"}
        table = self.write_text("script.csv", TABLE)
        os.mkdir(self.path("out"))
        listed = self.run_lyrane(["--batch", table, "--frame-rate", "29.97", "--dry-run",
                                  "--report", "dry.json"], env=self.env)
        self.assertExitStatus(listed, 0)
        self.assertEqual([(c["start_ms"], c["end_ms"]) for c in report_cues(self.path("dry.json"))],
                         TABLE_MS)
        result = self.narrate(table, "--frame-rate", "29.97", "--timecode-origin", "00:00:59;28",
                              "--stems", "out/stems", "--dapt-out", "out/script.ttml",
                              "--audio-language", "fre", "--report", "run.json", "-o", "out/n.wav")
        self.assertExitStatus(result, 0)
        cues = report_cues(self.path("run.json"))
        self.assertEqual([(c["start_ms"], c["end_ms"]) for c in cues], FROM_ORIGIN_MS)
        played = [(c["actual_start_ms"], c["actual_end_ms"]) for c in cues]

        root, divs = events(self.path("out", "script.ttml"))
        self.assertEqual([root.tag] + [root.get(at(*name)) for name in (
            ("lang", "xml"), ("timeBase", "ttp"), ("scriptType", "daptm"))],
            [at("tt"), "fr", "media", "asRecorded"])
        agents = {a.get(at("id", "xml")): a.find("ttm:name", NS).text
                  for a in root.iterfind("tt:head/tt:metadata/ttm:agent", NS)}
        self.assertEqual([(e["clip"], e["text"], agents.get(e["div"].get(at("agent", "ttm"))),
                           e["div"].get(at("represents", "daptm")), e["audio"].get("src"))
                          for e in divs],
                         [(p, c["written_text"], who, "visual.nonText", "stems/%04d.wav" % n)
                          for n, p, c, who in zip((1, 2, 3), played, cues, ("Anna", None, "Ben"))])

        with wave.open(self.path("out", "stems", "voice-over.wav")) as whole:
            output_ms = float(probe(self.path("out", "n.wav"))[1]["duration"]) * 1000
            self.assertAlmostEqual(whole.getnframes() / 48, output_ms, delta=1)
            for n, cue, (start, end) in zip((1, 2, 3), cues, played):
                stem = self.path("out", "stems", "%04d.wav" % n)
                stream, form = probe(stem)
                self.assertEqual((stream["codec_name"], stream["sample_rate"], stream["channels"]),
                                 ("pcm_s24le", "48000", 1))
                self.assertEqual(form["tags"]["comment"], "Cue %d: %s" % (n, cue["written_text"]))
                offset = int(form["tags"]["time_reference"]) - ORIGIN_SAMPLES
                self.assertTrue(start * 48 <= offset <= start * 48 + 48, (offset, start))
                with wave.open(stem) as clip:
                    self.assertAlmostEqual(clip.getnframes() / 48, end - start, delta=1)
                    whole.setpos(offset)
                    self.assertEqual(clip.readframes(clip.getnframes()),
                                     whole.readframes(clip.getnframes()))

        again = self.narrate(self.path("out", "script.ttml"), "--dry-run", "--report", "back.json")
        self.assertExitStatus(again, 0)
        back = report_cues(self.path("back.json"))
        self.assertEqual([(c["start_ms"], c["end_ms"], c["written_text"], c["cache_key"])
                          for c in back],
                         [(s, e, c["written_text"], c["cache_key"])
                          for (s, e), c in zip(played, cues)])
        self.assertEqual([back[0]["speaker"], back[2]["speaker"]], ["Anna", "Ben"])

    def test_ducking_the_script_states_is_the_mix(self):
        # The service's tones last 400 ms + 40 ms a letter: the first two clips are 300 ms apart,
        # under the attack and release (550 ms), so the programme stays down between them.
        self.env = self.service_env(self.start_service())
        ffmpeg("-f", "lavfi", "-i", "sine=frequency=3000:sample_rate=48000:duration=6",
               self.path("programme.wav"))
        vtt = write_vtt(self.path("d.vtt"), [(1000, 1900, "A door."), (1980, 2900, "Rain."),
                                             (4080, 5000, "Dawn.")])
        result = self.narrate(vtt, "--mix-with", "programme.wav", "--dapt-out", "d.ttml",
                              "-o", "mix.wav")
        self.assertExitStatus(result, 0)
        played = [(int(m[2]), int(m[3])) for m in PLACEMENT.findall(result.stderr)]
        _, divs = events(self.path("d.ttml"))
        flags = []
        for k, ((start, end), e) in enumerate(zip(played, divs)):
            lowers = k == 0 or start - played[k - 1][1] >= 550
            restores = k == len(played) - 1 or played[k + 1][0] - end >= 550
            flags.append((lowers, restores))
            gains = [(a.get(at("gain", "tta")), ms(a.get("begin")) + e["begin"],
                      ms(a.get("end")) + e["begin"], a.get("fill")) for a in e["animate"]]
            expected = [("1;0.316", start - 150, start, "freeze")] if lowers else []
            expected += [("0.316;1", end, end + 400, None)] if restores else []
            self.assertEqual(gains, expected)
            self.assertEqual(e["p"].get(at("gain", "tta")), None if lowers else "0.316")
            self.assertEqual((e["begin"], e["end"]), (start - 150 if lowers else start,
                                                      end + 400 if restores else played[k + 1][0]))
        self.assertEqual(flags, [(True, False), (False, True), (True, True)])
        # Where the narration is silent the mix is the programme alone, at the gain stated.
        rate, channels, samples = read_wav(self.path("mix.wav"))

        def level(from_ms, to_ms):
            window = samples[from_ms * rate // 1000 * channels:to_ms * rate // 1000 * channels]
            return 10 * math.log10(sum(v * v for v in window) / len(window))
        full = level(200, 700)
        self.assertAlmostEqual(level(played[0][1] + 40, played[1][0] - 40) - full, -10, delta=0.2)
        self.assertAlmostEqual(level(played[1][1] + 450, played[2][0] - 200) - full, 0, delta=0.2)

    def test_a_dapt_script_narrated_with_every_feature(self):
        service = self.start_service()
        self.env = self.service_env(service)
        script = self.write_text("in.ttml", """<?xml version="1.0" encoding="UTF-8"?>
<tt xmlns="http://www.w3.org/ns/ttml" xmlns:ttm="http://www.w3.org/ns/ttml#metadata"
    xmlns:ttp="http://www.w3.org/ns/ttml#parameter" ttp:timeBase="media" xml:lang="en">
  <head><metadata><ttm:agent type="character" xml:id="a1"><ttm:name type="alias">Narrator</ttm:name>
  </ttm:agent></metadata></head>
  <body><div begin="00:00:00.500" end="00:00:01.500" ttm:agent="a1"><p>A door.</p></div>
    <div begin="3s" end="3.5s" ttm:agent="a1"><p>Rain on glass.</p></div></body>
</tt>""")
        # The dialogue as a table of 25 fps timecodes: the first description moves past its line.
        self.write_text("dialogue.csv", "In,Out,Text\n00:00:00:00,00:00:01:00,Hello.\n"
                        "00:00:02:00,00:00:04:00,Who is there?\n00:00:04:12,00:00:08:00,Wind.\n")
        fitted = ["--dialogue", "dialogue.csv", "--frame-rate", "25"]
        result = self.narrate(script, *fitted, "--captions-out", "c.vtt", "--review", "r.html",
                              "--dapt-out", "back.ttml", "--dapt-embed", "--autopad", "-o", "n.wav")
        self.assertExitStatus(result, 0)
        self.assertIn("Description 2 covers dialogue at 00:00:03.000", result.stderr)
        played = [(int(m[2]), int(m[3])) for m in PLACEMENT.findall(result.stderr)]
        self.assertEqual([s for s, _ in played], [1000, 3000])
        with open(self.path("c.vtt"), encoding="utf-8") as f:
            timings = [line.split(" --> ") for line in f.read().splitlines() if " --> " in line]
        self.assertEqual([ms(a) for a, _ in timings], [s for s, _ in played])
        with open(self.path("r.html"), encoding="utf-8") as f:
            self.assertIn("Rain on glass.", f.read())
        # Each clip embedded is the output's own samples where the clip plays.
        rate, _, output = read_wav(self.path("n.wav"))
        for (start, end), e in zip(played, events(self.path("back.ttml"))[1]):
            data = e["audio"].find("tt:source/tt:data", NS)
            self.assertEqual(data.get("type"), "audio/wave")
            with wave.open(io.BytesIO(base64.b64decode(data.text))) as clip:
                self.assertAlmostEqual(clip.getnframes() * 1000 / rate, end - start, delta=1)
                pcm = list(array("h", clip.readframes(clip.getnframes())))
            first = start * rate // 1000
            self.assertIn(pcm, [output[s:s + len(pcm)] for s in (first, first + 1)])

        requests = service.request_count
        retaken = self.narrate(script, "--retake", "2", "--autopad", "-o", "n2.wav")
        self.assertExitStatus(retaken, 0)
        self.assertIn("Cue 2 now uses take 2 of 2\n", retaken.stderr)
        self.assertEqual(service.request_count, requests + 1)
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=8", "-f", "lavfi", "-i",
               "sine=frequency=500:sample_rate=48000:duration=8", "-c:v", "mpeg4", "-c:a", "aac",
               "-shortest", self.path("film.mkv"))
        extended = self.narrate(script, "--take", "2=1", *fitted, "--extended", "--mix-with",
                                "film.mkv", "-o", "x.mkv")
        self.assertExitStatus(extended, 0)
        self.assertIn("Description 2 pauses the programme at", extended.stderr)
        self.assertEqual(service.request_count, requests + 1)

    def test_bad_scripts_and_options_are_refused_before_any_request(self):
        service = self.start_service()
        self.env = self.service_env(service)
        write_vtt(self.path("a.vtt"), [(0, 1000, "Hi.")])
        tt = '<tt xmlns="http://www.w3.org/ns/ttml" xmlns:ttp="http://www.w3.org/ns/ttml#parameter"'
        for name, text in {"bad.ttml": tt + '>\n<body><div><p>x</div></body></tt>',
                           "time.ttml": tt + '>\n<body><div begin="1:2"><p>x</p></div></body></tt>',
                           "page.ttml": "<html/>", "tc.csv": "In,Text\n00:00:01:00,Hi.\n"}.items():
            self.write_text(name, text)
        rates = "one of 23.976, 24, 25, 29.97, 30, 50, 59.94, 60"
        rows = [  # the arguments after --vtt, and the line
            (["bad.ttml"], "failed to parse VTT file: bad.ttml: line 2: not well-formed XML"),
            (["time.ttml"], 'failed to parse VTT file: time.ttml: line 2: begin of <div>: "1:2"'),
            (["page.ttml"], "failed to parse VTT file: page.ttml: line 1: not a TTML document"),
            (["tc.csv"], "failed to parse VTT file: tc.csv: row 2: the timecode 00:00:01:00 needs "
                         "--frame-rate (%s)" % rates),
            (["a.vtt", "--frame-rate", "26"], "--frame-rate must be %s" % rates),
            (["a.vtt", "--timecode-origin", "01:00:00:00"], "--timecode-origin needs --frame-rate"),
            (["a.vtt", "--frame-rate", "25", "--timecode-origin", "00:01:00;00"],
             '--timecode-origin: the timecode 00:01:00;00 is drop-frame (";"), but 25 fps has no'),
            (["a.vtt", "--dapt-embed"], "--dapt-embed needs --dapt-out"),
            (["a.vtt", "--dapt-out", "a.ttml", "--no-padding"],
             "--dapt-out needs the narration's timeline: not with --no-padding"),
            (["a.vtt", "--audio-language", "eng"], "--audio-language needs --mix-with or --dapt"),
        ]
        rows = [(["--vtt"] + args, line) for args, line in rows] + [
            (["--say", "x", "--frame-rate", "25"], "--frame-rate is only supported with --vtt or "),
            (["--batch", "a.vtt", "--stems", "s"], "--stems is only supported with --vtt")]
        for arguments, line in rows:
            with self.subTest(arguments=arguments):
                result = self.run_lyrane(arguments, env=self.env)
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr.splitlines(), [result.stderr.strip()])
                self.assertTrue(result.stderr.startswith(line), result.stderr)
        self.assertEqual(service.request_count, 0)
        # A stems folder holding other files is left as it was, and the run fails.
        self.write_text("s/notes.txt", "mine")
        failed = self.narrate("a.vtt", "--stems", "s")
        self.assertExitStatus(failed, 1)
        self.assertIn("Failed to write stems: cannot write stems to s: the folder holds other "
                      "files than stems (notes.txt); name a new folder\n", failed.stderr)
        self.assertEqual(os.listdir(self.path("s")), ["notes.txt"])
