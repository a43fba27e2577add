"""A dry run is the plan without the fetch: what it says is still to pay equals, to the character,
what a fresh run of the same command then bills, in every mode and with every feature that
changes what is sent (against the offline service, which bills what it counts)."""

import re
import unittest

from support import LyraneTestCase, write_vtt
from test_speechd import Service

LINES = ["The harbour was quiet that night,", "and the keeper climbed the stairs.",
         "Gulls circled.", "The Dr. waited.", "A lamp <break time=\"700ms\"/> then another.",
         "Morning came slowly."]

# mode, feature, extra arguments; a take row first makes take 1 with a plain run.
ROWS = [
    ("subtitle", "plain", []), ("subtitle", "takes", ["--retake", "2,4"]),
    ("subtitle", "pauses", []), ("subtitle", "joined", ["--join-sentences"]),
    ("subtitle", "lexicon", ["--lexicon", "{lexicon}"]), ("subtitle", "dialogue", ["--dialogue", "{dialogue}"]),
    ("text", "plain", []), ("text", "pauses", []), ("text", "lexicon", ["--lexicon", "{lexicon}"]),
    ("batch", "plain", []), ("batch", "joined", ["--join-sentences"]),
    ("batch", "lexicon", ["--lexicon", "{lexicon}"]),
]


def to_synthesize(stderr):
    return sum(int(n.replace(",", "")) for n in
               re.findall(r"to synthesize: ([0-9,]+) characters?", stderr))


def billed(stderr):
    return sum(int(n.replace(",", "")) for n in re.findall(r"Billed: ([0-9,]+) characters", stderr))


class DryRunEstimateTest(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = Service("--port", "0")
        self.addCleanup(self.service.stop)
        self.env = {"LYRANE_API_URL": self.service.url, "ELEVENLABS_API_KEY": "offline"}

    def inputs(self, mode, feature):
        lines = [line for line in LINES if feature == "pauses" or "<break" not in line]
        if mode == "text":
            return ["--say", " ".join(lines)]
        cues = [(i * 3000, i * 3000 + 2500, line) for i, line in enumerate(lines)]
        if mode == "subtitle":
            return ["--vtt", write_vtt(self.path("talk.vtt"), cues)]
        first = write_vtt(self.path("one.vtt"), cues[:3])
        second = write_vtt(self.path("two.vtt"), [(s, e, t + " Again.") for s, e, t in cues[3:]])
        return ["--batch", first + "," + second]

    def test_dry_run_prices_what_a_fresh_run_bills(self):
        lexicon = self.write_text("words.tsv", "Dr.\tDoctor\nGulls\tSeagulls\n")
        dialogue = write_vtt(self.path("dialogue.vtt"), [(500, 2000, "Hello."), (6500, 8000, "Yes.")])
        for mode, feature, extra in ROWS:
            with self.subTest(mode=mode, feature=feature):
                cache = self.path("cache-%s-%s" % (mode, feature))
                extra = [a.format(lexicon=lexicon, dialogue=dialogue) for a in extra]
                args = self.inputs(mode, feature) + ["--temp-dir", cache,
                                                     "--output", self.path("out.wav")]
                if feature == "takes":
                    self.assertExitStatus(self.run_lyrane(args, env=self.env), 0)
                dry = self.run_lyrane(args + extra + ["--dry-run"], env=self.env)
                self.assertExitStatus(dry, 0)
                run = self.run_lyrane(args + extra, env=self.env)
                self.assertExitStatus(run, 0)
                self.assertGreater(billed(run.stderr), 0)
                self.assertEqual(to_synthesize(dry.stderr), billed(run.stderr), run.stderr)
                # Priced as it is sent: with every clip cached, nothing is left to pay for (a
                # retake asks for yet another take).
                if feature == "takes":
                    continue
                again = self.run_lyrane(args + extra + ["--max-credits", "0"], env=self.env)
                self.assertExitStatus(again, 0)
                self.assertEqual(billed(again.stderr), 0)


if __name__ == "__main__":
    unittest.main()
