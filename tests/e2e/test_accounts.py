"""lyrane against lyrane-speechd playing real accounts: formats each plan allows, refusals with
their reason and a tip, requests in flight above the plan's limit, a busy service, and texts
over the model's per-request limit."""

import os
import re
import time
import wave

from support import LyraneTestCase, write_vtt
from test_speechd import Service

ACCEPTED = (
    [f"pcm_{rate}" for rate in (8000, 16000, 22050, 24000, 32000, 44100, 48000)]
    + [f"wav_{rate}" for rate in (8000, 16000, 22050, 24000, 32000, 44100, 48000)]
    + ["mp3_22050_32", "mp3_24000_48", "mp3_44100", "mp3_44100_32", "mp3_44100_64",
       "mp3_44100_96", "mp3_44100_128", "mp3_44100_192"]
)
REFUSAL = ("--format must be a PCM, WAV or MP3 format of the speech service, such as pcm_24000 "
           "or mp3_44100_128\n")
KEY = "sk-offline-4f8e2a9c71d3"
LOWERED = re.compile(r"^Service allows fewer requests at once; now (\d+) in flight$", re.M)


def clip_files(directory):
    """Every clip in a cache directory: name -> bytes."""
    found = {}
    for name in sorted(os.listdir(directory)):
        if name.endswith((".wav", ".mp3")):
            with open(os.path.join(directory, name), "rb") as file:
                found[name] = file.read()
    return found


def wav_facts(path):
    with wave.open(path, "rb") as file:
        return file.getframerate(), file.getnframes()


class AccountTest(LyraneTestCase):
    def service(self, *args):
        service = Service("--api-key", KEY, *args)
        self.addCleanup(service.stop)
        return service

    def env(self, service, key=KEY):
        return {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": key}

    def say(self, service, *args, text="Hello there.", env=None):
        cache = self.path("cache-%d" % time.monotonic_ns())
        result = self.run_lyrane(["--say", text, "--temp-dir", cache, "--no-padding", *args],
                                 env=env or self.env(service))
        return result, cache

    def assertKeyAbsent(self, result):
        self.assertNotIn(KEY, result.stdout + result.stderr)

    def test_each_format_accepted_or_refused_before_any_request(self):
        service = self.service()
        wav_by_rate = {}
        for name in ACCEPTED + ["PCM_24000", "Mp3_44100_128"]:
            with self.subTest(format=name):
                result, cache = self.say(service, "--format", name)
                self.assertExitStatus(result, 0)
                clips = clip_files(cache)
                self.assertEqual(len(clips), 1, clips.keys())
                clip_name, clip = next(iter(clips.items()))
                if name.lower().startswith("mp3"):
                    self.assertTrue(clip_name.endswith(".mp3"))
                    continue
                self.assertTrue(clip_name.endswith(".wav"))
                rate = int(name.split("_")[1])
                self.assertEqual(wav_facts(os.path.join(cache, clip_name))[0], rate)
                # The service's WAV is stored as the same file its PCM of that rate gives.
                if rate in wav_by_rate:
                    self.assertEqual(clip, wav_by_rate[rate], name)
                wav_by_rate[rate] = clip

        for name in ["ulaw_8000", "alaw_8000", "opus_48000_64", "pcm_11025", "mp3_44100_320",
                     "wav", ""]:
            with self.subTest(format=name):
                result, cache = self.say(service, "--format", name)
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, REFUSAL)
                self.assertFalse(os.path.exists(cache) and clip_files(cache))
        # Checked right after --speed.
        result, _ = self.say(service, "--speed", "3", "--format", "ulaw_8000")
        self.assertEqual(result.stderr, "--speed must be between 0.7 and 1.2\n")

        # LYRANE_FORMAT sets the default; --format still wins.
        env = dict(self.env(service), LYRANE_FORMAT="pcm_22050")
        result, cache = self.say(service, env=env)
        self.assertExitStatus(result, 0)
        self.assertEqual(wav_facts(os.path.join(cache, *clip_files(cache)))[0], 22050)
        result, cache = self.say(service, "--format", "pcm_16000", env=env)
        self.assertEqual(wav_facts(os.path.join(cache, *clip_files(cache)))[0], 16000)
        env["LYRANE_FORMAT"] = "ulaw_8000"
        result, _ = self.say(service, env=env)
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, REFUSAL)

    def test_refusals_give_their_reason_and_a_tip_never_the_key(self):
        service = self.service("--plan", "starter", "--credits", "40", "--strict-voices")
        key_file = self.write_text("key.txt", "sk-wrong-0c9d8e7f6a5b\n")
        cases = [
            # (arguments, environment, reason, tip)
            (["--format", "pcm_44100"], self.env(service), "output_format_not_allowed",
             "TIP: the account's plan does not allow this output format; use --format "
             "pcm_24000 or --format mp3_44100_128"),
            (["--format", "wav_48000"], self.env(service), "output_format_not_allowed",
             "TIP: the account's plan does not allow this output format"),
            (["--format", "pcm_24000", "--voice", "Zz9NoSuchVoice00000a"], self.env(service),
             "voice_not_found", "TIP: the account has no such voice; --list-voices"),
            (["--format", "pcm_24000"], self.env(service, key="sk-wrong-1a2b3c4d5e6f"),
             "invalid_api_key",
             "TIP: the service does not accept the API key read from ELEVENLABS_API_KEY;"),
            (["--format", "pcm_24000", "--key-file", key_file],
             {"LYRANE_API_URL": service.url}, "invalid_api_key",
             f"TIP: the service does not accept the API key read from {key_file};"),
        ]
        for args, env, reason, tip in cases:
            with self.subTest(reason=reason, args=args):
                result, cache = self.say(service, *args, env=env)
                self.assertExitStatus(result, 1)
                lines = result.stderr.splitlines()
                failure = next(i for i, line in enumerate(lines)
                               if line.startswith("Failed to generate audio: TTS request failed: "))
                self.assertIn("(" + reason + ":", lines[failure])
                self.assertTrue(lines[failure + 1].startswith(tip), lines[failure + 1])
                self.assertEqual(sum(line.startswith("TIP: ") for line in lines), 1)
                self.assertKeyAbsent(result)
                self.assertNotIn("sk-wrong", result.stdout + result.stderr)
                self.assertFalse(clip_files(cache))

        # Credits run out part way through a subtitle file: the cue is named by the failure.
        vtt = self.path("talk.vtt")
        write_vtt(vtt, [(0, 1000, "Short one."), (1000, 2000, "This cue costs more than is left.")])
        result = self.run_lyrane(["--vtt", vtt, "--format", "pcm_24000", "--temp-dir",
                                  self.path("quota"), "--no-padding", "--no-credit-check"],
                                 env=self.env(service))
        self.assertExitStatus(result, 1)
        self.assertIn("Failed to generate audio for segment 2: TTS request failed: ", result.stderr)
        self.assertIn("(quota_exceeded: ", result.stderr)
        self.assertIn("\nTIP: the account's credits are spent;", result.stderr)
        self.assertKeyAbsent(result)
        self.assertEqual(len(clip_files(self.path("quota"))), 1)  # the paid clip is kept

    def test_jobs_above_the_plan_lower_the_window_and_match_one_at_a_time(self):
        service = self.service("--plan", "free", "--latency", "100")
        vtt = self.path("talk.vtt")
        write_vtt(vtt, [(i * 1000, i * 1000 + 900, f"Line number {i} of the talk.")
                        for i in range(10)])
        runs = {}
        for jobs in (1, 8):
            cache = self.path(f"cache-{jobs}")
            out = self.path(f"out-{jobs}.wav")
            result = self.run_lyrane(["--vtt", vtt, "--format", "pcm_24000", "--jobs", str(jobs),
                                      "--retries", "0", "--autopad", "--temp-dir", cache,
                                      "--output", out], env=self.env(service))
            self.assertExitStatus(result, 0)
            with open(out, "rb") as file:
                runs[jobs] = (clip_files(cache), file.read(), result.stderr)
        self.assertEqual(len(runs[1][0]), 10)
        self.assertEqual(runs[8][0], runs[1][0])
        self.assertEqual(runs[8][1], runs[1][1])
        self.assertEqual(LOWERED.findall(runs[1][2]), [])
        lowered = [int(n) for n in LOWERED.findall(runs[8][2])]
        self.assertTrue(lowered, runs[8][2])
        self.assertEqual(lowered, sorted(lowered, reverse=True))
        self.assertEqual(lowered[-1], 2)
        self.assertNotIn("Retrying", runs[8][2])

    def test_busy_service_is_retried_with_back_off(self):
        service = self.service("--busy-every", "2")
        vtt = self.path("talk.vtt")
        write_vtt(vtt, [(0, 1000, "One."), (1000, 2000, "Two."), (2000, 3000, "Three.")])
        started = time.monotonic()
        result = self.run_lyrane(["--vtt", vtt, "--format", "pcm_16000", "--temp-dir",
                                  self.path("cache"), "--no-padding"], env=self.env(service))
        elapsed = time.monotonic() - started
        self.assertExitStatus(result, 0)
        waits = re.findall(r"^Retrying segment \d+ in (\d+) ms \(attempt 1 of 3\): TTS request "
                           r"failed: .*\(system_busy: ", result.stderr, re.M)
        self.assertGreaterEqual(len(waits), 1, result.stderr)
        for wait in waits:
            self.assertGreaterEqual(int(wait), 800)
        self.assertGreaterEqual(elapsed, 0.8 * len(waits))
        self.assertEqual(len(clip_files(self.path("cache"))), 3)

    def test_long_text_is_split_and_joined(self):
        service = self.service()
        sentence = "The quiet river carried the small boat past the sleeping town. "
        text = sentence * (10500 // len(sentence) + 1)
        path = self.write_text("long.txt", text)
        out = self.path("long.wav")
        result = self.run_lyrane(["--text", path, "--format", "pcm_8000", "--temp-dir",
                                  self.path("cache"), "--output", out], env=self.env(service),
                                 timeout=300)
        self.assertExitStatus(result, 0)
        self.assertIn("Generating audio for text part 1/2...\n", result.stderr)
        self.assertIn("Generating audio for text part 2/2...\n", result.stderr)
        clips = clip_files(self.path("cache"))
        self.assertEqual(len(clips), 2)
        parts = [wav_facts(os.path.join(self.path("cache"), name)) for name in clips]
        rate, frames = wav_facts(out)
        self.assertEqual(rate, 8000)
        self.assertEqual(frames, sum(n for _, n in parts))

        # Run again: every part comes from the cache.
        again = self.run_lyrane(["--text", path, "--format", "pcm_8000", "--temp-dir",
                                 self.path("cache"), "--output", self.path("again.wav")],
                                env=self.env(service), timeout=300)
        self.assertExitStatus(again, 0)
        self.assertNotIn("Generating", again.stderr)
        with open(out, "rb") as first, open(self.path("again.wav"), "rb") as second:
            self.assertEqual(first.read(), second.read())

    def test_subscription_counts_out_of_range_skip_the_credit_check(self):
        service = self.start_service()
        skipped = ("Could not read the account's credits (unexpected subscription answer); "
                   "going on without the credit check\n")
        refused = "Not enough credits: this run needs about 12, the account has 0 left\n"
        rows = [  # (character_count, character_limit, what the run says)
            (1e300, 1000, skipped), (0, 1e300, skipped), (-9.2e18, 9.2e18, skipped),
            (2**53 + 2, 2**53 + 4, skipped), (1.5, 100, skipped), ("0", 100, skipped),
            (0, 2**53, ""), (2**53, 2**53, refused),
        ]
        for used, limit, said in rows:
            with self.subTest(used=used, limit=limit):
                service.subscription = {"character_count": used, "character_limit": limit}
                result, _ = self.say(service, env=self.service_env(service))
                self.assertExitStatus(result, 1 if said == refused else 0)
                self.assertEqual(result.stderr.count("credits"), 1 if said else 0, result.stderr)
                self.assertIn(said, result.stderr)

    def test_cue_over_the_limit_is_refused_before_any_request(self):
        service = self.service("--credits", "100")
        vtt = self.path("talk.vtt")
        write_vtt(vtt, [(0, 1000, "Fine."), (1000, 60000, "word " * 2000 + "end")])
        result = self.run_lyrane(["--vtt", vtt, "--format", "pcm_16000", "--temp-dir",
                                  self.path("cache"), "--no-padding"], env=self.env(service))
        self.assertExitStatus(result, 1)
        self.assertIn("Cue 2 is 10003 characters long; eleven_multilingual_v2 allows at most "
                      "10000 characters in one request\n", result.stderr)
        self.assertNotIn("Generating", result.stderr)
        self.assertFalse(os.path.isdir(self.path("cache")) and clip_files(self.path("cache")))


if __name__ == "__main__":
    import unittest

    unittest.main()
