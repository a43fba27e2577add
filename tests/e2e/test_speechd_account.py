"""End-to-end tests of lyrane-speechd playing a real account: plans, requests in flight,
overload, credits, the subscription, the voice list and keys."""

import re
import subprocess
import threading
import time
import unittest

from speechd_support import BUILT_IN_VOICES, EXTRA_VOICES, SPEECHD, Service, call, synthesize

PLANS = ("free", "starter", "creator", "pro", "scale")
# The plans each format needs beyond Free.
FORMAT_PLANS = {
    "pcm_24000": "free", "wav_24000": "free", "pcm_32000": "free", "mp3_44100_128": "free",
    "mp3_22050_32": "free", "ulaw_8000": "free",
    "mp3_44100_192": "creator",
    "pcm_44100": "pro", "wav_44100": "pro", "pcm_48000": "pro", "wav_48000": "pro",
}
CONCURRENCY = {"free": 2, "starter": 3, "creator": 5, "pro": 10, "scale": 15}


class ServiceCase(unittest.TestCase):
    def start(self, *args):
        service = Service(*args)
        self.addCleanup(lambda: self.assertEqual(service.stop()[0], 0))
        return service.url


def in_parallel(calls):
    """Runs the callables at once; returns their results in order."""
    results = [None] * len(calls)

    def run(index, function):
        results[index] = function()

    threads = [threading.Thread(target=run, args=item) for item in enumerate(calls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class PlanTest(ServiceCase):
    def test_formats_each_plan_allows(self):
        for plan in PLANS:
            url = self.start("--plan", plan)
            for output_format, needed in FORMAT_PLANS.items():
                with self.subTest(plan=plan, format=output_format):
                    reply = synthesize(url, "Hi.", output_format=output_format)
                    if PLANS.index(plan) >= PLANS.index(needed):
                        self.assertEqual(reply.status, 200)
                        continue
                    self.assertEqual((reply.status, reply.error),
                                     (403, "output_format_not_allowed"))
                    message = reply.json["detail"]["message"]
                    self.assertIn(output_format, message)
                    self.assertIn(f"only allowed for {needed.title()} tier and above", message)
        # Without a plan every format is allowed.
        url = self.start()
        for output_format in FORMAT_PLANS:
            with self.subTest(plan=None, format=output_format):
                self.assertEqual(synthesize(url, "Hi.", output_format=output_format).status, 200)

    def test_requests_in_flight_per_plan_and_model(self):
        cases = [  # options, model, requests allowed at once
            (["--plan", "free"], "eleven_multilingual_v2", 2),
            (["--plan", "free"], "eleven_flash_v2_5", 4),
            (["--plan", "starter"], "eleven_v3", 3),
            (["--plan", "starter"], "eleven_turbo_v2", 6),
            (["--plan", "free", "--max-concurrent", "3"], "eleven_flash_v2_5", 3),
        ]
        for options, model, allowed in cases:
            with self.subTest(options=options, model=model):
                url = self.start("--latency", "1500", *options)

                def speak(index):
                    return lambda: synthesize(url, f"Request {index}.", model_id=model)

                began = time.monotonic()
                first = in_parallel([speak(i) for i in range(allowed)])
                self.assertEqual([r.status for r in first], [200] * allowed)
                self.assertGreaterEqual(time.monotonic() - began, 1.4)
                for reply in first:
                    self.assertEqual(reply.headers["maximum-concurrent-requests"], str(allowed))
                    self.assertLessEqual(int(reply.headers["current-concurrent-requests"]),
                                         allowed)

                # Hold the places, then ask for one more: refused at once, with the counts.
                holders = [threading.Thread(target=speak(i)) for i in range(allowed)]
                for thread in holders:
                    thread.start()
                time.sleep(0.5)
                asked = time.monotonic()
                refused = synthesize(url, "One too many.", model_id=model)
                self.assertLess(time.monotonic() - asked, 1.0)
                for thread in holders:
                    thread.join()
                self.assertEqual((refused.status, refused.error),
                                 (429, "too_many_concurrent_requests"))
                self.assertEqual(refused.headers["current-concurrent-requests"], str(allowed))
                self.assertEqual(refused.headers["maximum-concurrent-requests"], str(allowed))
        # The plan table itself, for the default model and for Flash, with one request each.
        for plan, allowed in CONCURRENCY.items():
            url = self.start("--plan", plan)
            with self.subTest(plan=plan):
                for model, factor in (("eleven_multilingual_v2", 1), ("eleven_flash_v2", 2)):
                    reply = synthesize(url, "Hi.", model_id=model, output_format="mp3_44100_64")
                    self.assertEqual(reply.headers["maximum-concurrent-requests"],
                                     str(allowed * factor))
                    self.assertEqual(reply.headers["current-concurrent-requests"], "1")

    def test_busy_every_nth_accepted_request(self):
        url = self.start("--busy-every", "3")
        statuses = []
        for index in range(7):
            reply = synthesize(url, f"Number {index}.")
            statuses.append(reply.status)
            if reply.status == 429:
                self.assertEqual(reply.error, "system_busy")
                self.assertIn("try again", reply.json["detail"]["message"])
                self.assertNotIn("request-id", reply.headers)
            # Refused requests do not count.
            self.assertEqual(synthesize(url, "x", model_id="unknown").status, 400)
        self.assertEqual(statuses, [200, 200, 429, 200, 200, 429, 200])

    def test_bad_options(self):
        for args in (["--plan", "gold"], ["--plan", "Free"], ["--credits", "-1"],
                     ["--credits", "many"], ["--busy-every", "x"], ["--busy-every", "-2"]):
            with self.subTest(args=args):
                result = subprocess.run([SPEECHD, *args], capture_output=True, text=True,
                                        timeout=20)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                self.assertIn(f"Invalid value for {args[0]}: {args[1]}", result.stderr)


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class CreditTest(ServiceCase):
    def subscription(self, url):
        reply = call(url, "/v1/user/subscription")
        self.assertEqual(reply.status, 200)
        return reply.json

    def test_credits_count_down_and_run_out(self):
        url = self.start("--credits", "100", "--plan", "starter")
        before = time.time()
        account = self.subscription(url)
        self.assertEqual(account["tier"], "starter")
        self.assertEqual((account["character_count"], account["character_limit"]), (0, 100))
        self.assertIs(account["can_extend_character_limit"], False)
        self.assertGreater(account["next_character_count_reset_unix"], before)

        steps = [  # text length, model, expected status, credits used afterwards
            (40, "eleven_multilingual_v2", 200, 40),
            (41, "eleven_flash_v2_5", 200, 61),  # Flash: one credit per two characters
            (40, "eleven_v3", 401, 61),          # 39 left
            (79, "eleven_turbo_v2", 401, 61),    # 40 credits needed
            (77, "eleven_turbo_v2", 200, 100),   # 39 credits, the last ones
            (1, "eleven_flash_v2", 401, 100),
        ]
        for length, model, status, used in steps:
            with self.subTest(length=length, model=model):
                text = ("Counting credits one by one. " * 4)[:length - 1] + "."
                remaining = 100 - self.subscription(url)["character_count"]
                reply = synthesize(url, text, model_id=model)
                self.assertEqual(reply.status, status)
                if status == 200:
                    self.assertEqual(reply.headers["character-cost"], str(length))
                else:
                    self.assertEqual(reply.error, "quota_exceeded")
                    needed = length if model in ("eleven_multilingual_v2", "eleven_v3") else \
                        (length + 1) // 2
                    self.assertEqual(
                        reply.json["detail"]["message"],
                        f"This request exceeds your quota of 100. You have {remaining} credits "
                        f"remaining, while {needed} credits are required for this request.")
                self.assertEqual(self.subscription(url)["character_count"], used)
        # Refusals for other reasons cost nothing either.
        self.assertEqual(synthesize(url, "Hi", output_format="pcm_44100").status, 403)
        self.assertEqual(self.subscription(url)["character_count"], 100)

    def test_without_credits_the_limit_is_large(self):
        url = self.start()
        account = self.subscription(url)
        self.assertEqual(account["tier"], "enterprise")
        self.assertGreaterEqual(account["character_limit"], 10 ** 8)
        synthesize(url, "Twelve chars")
        synthesize(url, "Twelve chars", model_id="eleven_flash_v2_5")
        self.assertEqual(self.subscription(url)["character_count"], 18)

    def test_subscription_may_be_unreadable(self):
        url = self.start("--no-subscription", "--credits", "50")
        reply = call(url, "/v1/user/subscription")
        self.assertEqual((reply.status, reply.error), (401, "missing_permissions"))
        self.assertIn("user_read", reply.json["detail"]["message"])
        self.assertEqual(synthesize(url, "Still speaks.").status, 200)


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class VoiceListTest(ServiceCase):
    def test_voice_list(self):
        reply = call(self.start(), "/v1/voices?show_legacy=true")
        self.assertEqual((reply.status, reply.headers["content-type"]),
                         (200, "application/json"))
        voices = reply.json["voices"]
        names = {voice["voice_id"]: voice["name"] for voice in voices}
        self.assertEqual(names, {
            "EXAVITQu4vr4xnSDxMaL": "Miravel", "pNInz6obpgDQGcFmaJgB": "Dostan",
            "21m00Tcm4TlvDq8ikWAM": "Brenn", "ErXwobaYiN019PkySvjV": "Ottaline",
            **EXTRA_VOICES})
        for voice in voices:
            with self.subTest(voice=voice["name"]):
                self.assertRegex(voice["voice_id"], r"^[A-Za-z0-9]{20}$")
                self.assertIn(voice["category"], ("premade", "cloned", "generated"))
                self.assertTrue(voice["description"])
                self.assertTrue(voice["labels"])
                for key, value in voice["labels"].items():
                    self.assertIsInstance(value, str, key)
        self.assertEqual({v["category"] for v in voices}, {"premade", "cloned", "generated"})

    def test_strict_voices(self):
        strict = self.start("--strict-voices")
        lenient = self.start()
        for voice in [*BUILT_IN_VOICES, *EXTRA_VOICES]:
            with self.subTest(voice=voice):
                self.assertEqual(synthesize(strict, "Hello.", voice=voice).status, 200)
        for voice in ("someone", "AAAAAAAAAAAAAAAAAAAA", "exavitqu4vr4xnsdxmal", "Miravel"):
            with self.subTest(voice=voice):
                reply = synthesize(strict, "Hello.", voice=voice)
                self.assertEqual((reply.status, reply.error), (400, "voice_not_found"))
                self.assertIn(voice, reply.json["detail"]["message"])
                self.assertEqual(synthesize(lenient, "Hello.", voice=voice).status, 200)

    def test_key_guards_every_endpoint(self):
        url = self.start("--api-key", "s3cret", "--strict-voices", "--plan", "free")
        endpoints = [
            ("voices", lambda key: call(url, "/v1/voices", key=key)),
            ("subscription", lambda key: call(url, "/v1/user/subscription", key=key)),
            ("speech", lambda key: synthesize(url, "Hi.", key=key)),
            # A bad key is reported before anything wrong with the request itself.
            ("bad request", lambda key: synthesize(url, "Hi.", key=key, voice="nobody",
                                                   output_format="pcm_48000", model_id="x")),
        ]
        for name, send in endpoints:
            for key in (None, "S3CRET", "wrong"):
                with self.subTest(endpoint=name, key=key):
                    reply = send(key)
                    self.assertEqual((reply.status, reply.error), (401, "invalid_api_key"))
                    self.assertNotIn("s3cret", reply.body.decode())
            with self.subTest(endpoint=name, key="s3cret"):
                self.assertNotEqual(send("s3cret").status, 401)


if __name__ == "__main__":
    unittest.main()
