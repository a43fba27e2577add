"""End-to-end tests of lyrane-speechd, the offline speech service, run as a user would."""

import json
import os
import re
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

SPEECHD = os.environ.get("LYRANE_SPEECHD_BIN", "")

BUILT_IN_VOICES = [
    "EXAVITQu4vr4xnSDxMaL",
    "pNInz6obpgDQGcFmaJgB",
    "21m00Tcm4TlvDq8ikWAM",
    "ErXwobaYiN019PkySvjV",
]
SENTENCE = "The quick brown fox jumps over the lazy dog, twice."


class Service:
    """One running lyrane-speechd; `url` is the base URL from its first output line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [SPEECHD, *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.url = self.proc.stdout.readline().strip()
        if not self.url:
            self.proc.kill()
            _, err = self.proc.communicate()
            raise RuntimeError("lyrane-speechd did not start: " + err)

    def stop(self, sig=signal.SIGTERM):
        """Stops the service and returns its exit status and standard error."""
        self.proc.send_signal(sig)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise
        return self.proc.returncode, err


def post(url, voice, output_format, body, headers=None, raw=None):
    """Sends one synthesis request; returns (status, content type, body bytes)."""
    path = f"{url}/v1/text-to-speech/{voice}"
    if output_format is not None:
        path += "?output_format=" + output_format
    data = raw if raw is not None else json.dumps(body).encode()
    request = urllib.request.Request(path, data=data, method="POST")
    request.add_header("Content-Type", "application/json")
    for key, value in (headers or {}).items():
        request.add_header(key, value)
    try:
        with urllib.request.urlopen(request, timeout=60) as reply:
            return reply.status, reply.headers.get("Content-Type"), reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type"), error.read()


def speak(url, text=SENTENCE, voice=BUILT_IN_VOICES[0], output_format="pcm_22050", speed=None):
    body = {"text": text, "model_id": "eleven_multilingual_v2"}
    if speed is not None:
        body["voice_settings"] = {"speed": speed}
    return post(url, voice, output_format, body)


def probe_mp3(data):
    """Decodes MP3 bytes with ffprobe/ffmpeg: stream facts and the decoded sample count."""
    with tempfile.NamedTemporaryFile(suffix=".mp3") as file:
        file.write(data)
        file.flush()
        info = json.loads(
            subprocess.run(
                ["ffprobe", "-v", "error", "-show_entries",
                 "stream=codec_name,sample_rate,channels:format=bit_rate",
                 "-of", "json", file.name],
                check=True, capture_output=True, text=True).stdout)
        pcm = subprocess.run(
            ["ffmpeg", "-v", "error", "-i", file.name, "-f", "s16le", "-ac", "1", "-"],
            check=True, capture_output=True).stdout
    stream = info["streams"][0]
    return {
        "codec": stream["codec_name"],
        "rate": int(stream["sample_rate"]),
        "channels": int(stream["channels"]),
        "bit_rate": int(info["format"]["bit_rate"]),
        "samples": len(pcm) // 2,
    }


def error_status(body):
    return json.loads(body)["detail"]["status"]


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class SynthesisTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service()

    @classmethod
    def tearDownClass(cls):
        status, _ = cls.service.stop()
        assert status == 0, status

    def test_first_line_is_base_url(self):
        self.assertRegex(self.service.url, r"^http://127\.0\.0\.1:\d+$")

    def test_pcm_formats_have_rate_and_consistent_duration(self):
        durations = {}
        for rate in (16000, 22050, 24000, 44100):
            with self.subTest(rate=rate):
                status, content_type, data = speak(self.service.url, output_format=f"pcm_{rate}")
                self.assertEqual(status, 200)
                self.assertEqual(content_type, "audio/pcm")
                self.assertEqual(len(data) % 2, 0)
                self.assertGreater(len(data), rate)  # a sentence lasts more than half a second
                durations[rate] = len(data) / 2 / rate
        for rate, seconds in durations.items():
            self.assertAlmostEqual(seconds, durations[22050], delta=0.01, msg=f"pcm_{rate}")
        _, _, low = speak(self.service.url, output_format="pcm_16000")
        _, _, high = speak(self.service.url, output_format="pcm_44100")
        self.assertAlmostEqual(len(low) / len(high), 16000 / 44100, delta=0.002)

    def test_mp3_formats_decode_at_44100_mono(self):
        _, _, pcm = speak(self.service.url, output_format="pcm_44100")
        infos = {}
        for output_format in ("mp3_44100", "mp3_44100_128", "mp3_44100_64", "mp3_44100_32"):
            with self.subTest(format=output_format):
                status, content_type, data = speak(self.service.url, output_format=output_format)
                self.assertEqual(status, 200)
                self.assertEqual(content_type, "audio/mpeg")
                info = probe_mp3(data)
                self.assertEqual((info["codec"], info["rate"], info["channels"]), ("mp3", 44100, 1))
                # The same speech as the PCM answer, give or take the coder's frame padding.
                self.assertAlmostEqual(info["samples"] / 44100, len(pcm) / 2 / 44100, delta=0.1)
                infos[output_format] = info
        self.assertAlmostEqual(infos["mp3_44100"]["bit_rate"], 128000, delta=8000)
        self.assertAlmostEqual(infos["mp3_44100_64"]["bit_rate"], 64000, delta=4000)
        self.assertLess(infos["mp3_44100_64"]["bit_rate"], infos["mp3_44100"]["bit_rate"])
        self.assertLess(infos["mp3_44100_32"]["bit_rate"], infos["mp3_44100_64"]["bit_rate"])

    def test_speed_changes_duration(self):
        lengths = {}
        for speed in (0.8, 1.0, 1.2):
            status, _, data = speak(self.service.url, speed=speed)
            self.assertEqual(status, 200)
            lengths[speed] = len(data)
        self.assertLess(lengths[1.2], lengths[1.0])
        self.assertLess(lengths[1.0], lengths[0.8])
        self.assertLess(lengths[1.2] / lengths[0.8], 0.85)

    def test_built_in_voices_differ(self):
        clips = {}
        for voice in BUILT_IN_VOICES:
            status, _, data = speak(self.service.url, voice=voice)
            self.assertEqual(status, 200, voice)
            clips[voice] = data
        self.assertEqual(len(set(clips.values())), len(BUILT_IN_VOICES))

    def test_same_request_gives_same_bytes(self):
        # Other requests in between must not leave state behind.
        for output_format in ("pcm_44100", "mp3_44100"):
            with self.subTest(format=output_format):
                _, _, first = speak(self.service.url, output_format=output_format)
                speak(self.service.url, text="Something else entirely.", voice=BUILT_IN_VOICES[2],
                      speed=1.2)
                speak(self.service.url, text="And a third one", voice="someone")
                _, _, second = speak(self.service.url, output_format=output_format)
                self.assertEqual(first, second)

    def test_unknown_voice_ids_work_and_are_stable(self):
        ids = ["myOwnVoice0000000001", "another-voice", "x"]
        first = {}
        for voice in ids:
            status, _, data = speak(self.service.url, voice=voice)
            self.assertEqual(status, 200, voice)
            self.assertGreater(len(data), 22050, voice)
            first[voice] = data
        for voice in ids:
            self.assertEqual(speak(self.service.url, voice=voice)[2], first[voice], voice)
        self.assertEqual(len(set(first.values())), len(ids))

    def test_context_texts_are_accepted(self):
        body = {"text": SENTENCE, "model_id": "eleven_multilingual_v2",
                "previous_text": "Before.", "next_text": "After."}
        status, _, data = post(self.service.url, BUILT_IN_VOICES[1], "pcm_22050", body)
        self.assertEqual(status, 200)
        self.assertEqual(data, speak(self.service.url, voice=BUILT_IN_VOICES[1])[2])

    def test_bad_requests(self):
        voice = BUILT_IN_VOICES[0]
        good = {"text": SENTENCE, "model_id": "eleven_multilingual_v2"}
        cases = [
            ("unknown format", "flac_44100", good, None, "invalid_output_format"),
            ("unsupported wav rate", "wav_11025", good, None, "invalid_output_format"),
            ("unsupported mp3 rate", "mp3_22050_64", good, None, "invalid_output_format"),
            ("odd mp3 bit rate", "mp3_44100_100", good, None, "invalid_output_format"),
            ("mp3 bit rate not offered", "mp3_44100_320", good, None, "invalid_output_format"),
            ("pcm rate", "pcm_11025", good, None, "invalid_output_format"),
            ("opus is not produced offline", "opus_48000_64", good, None,
             "invalid_output_format"),
            ("malformed JSON", "pcm_22050", None, b'{"text": "hello"', "invalid_request"),
            ("JSON array", "pcm_22050", None, b'["hello"]', "invalid_request"),
            ("missing text", "pcm_22050", {"model_id": "m"}, None, "invalid_request"),
            ("empty text", "pcm_22050", {"text": ""}, None, "invalid_request"),
            ("blank text", "pcm_22050", {"text": " \n "}, None, "invalid_request"),
            ("text not a string", "pcm_22050", {"text": 5}, None, "invalid_request"),
            ("speed not a number", "pcm_22050",
             {"text": "hi", "voice_settings": {"speed": "fast"}}, None, "invalid_request"),
            ("speed zero", "pcm_22050",
             {"text": "hi", "voice_settings": {"speed": 0}}, None, "invalid_request"),
        ]
        for name, output_format, body, raw, expected in cases:
            with self.subTest(name):
                status, content_type, data = post(self.service.url, voice, output_format, body,
                                                  raw=raw)
                self.assertEqual(status, 400)
                self.assertEqual(content_type, "application/json")
                self.assertEqual(error_status(data), expected)
                self.assertTrue(json.loads(data)["detail"]["message"])

    def test_unknown_paths_are_404(self):
        for method, path in (("GET", "/"), ("POST", "/v1/voices"),
                             ("GET", "/v1/text-to-speech/" + BUILT_IN_VOICES[0]),
                             ("POST", "/v2/text-to-speech/" + BUILT_IN_VOICES[0])):
            with self.subTest(method=method, path=path):
                request = urllib.request.Request(self.service.url + path, method=method,
                                                 data=b"{}" if method == "POST" else None)
                with self.assertRaises(urllib.error.HTTPError) as caught:
                    urllib.request.urlopen(request, timeout=10)
                self.assertEqual(caught.exception.code, 404)


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class ApiKeyTest(unittest.TestCase):
    def test_key_is_required(self):
        service = Service("--api-key", "s3cret")
        try:
            body = {"text": "Hello", "model_id": "eleven_multilingual_v2"}
            for name, headers, expected in (("no key", {}, 401),
                                            ("wrong key", {"xi-api-key": "guess"}, 401),
                                            ("key in other case", {"xi-api-key": "S3CRET"}, 401),
                                            ("right key", {"xi-api-key": "s3cret"}, 200)):
                with self.subTest(name):
                    status, _, data = post(service.url, BUILT_IN_VOICES[0], "pcm_16000", body,
                                           headers)
                    self.assertEqual(status, expected)
                    if expected == 401:
                        self.assertEqual(error_status(data), "invalid_api_key")
        finally:
            self.assertEqual(service.stop()[0], 0)

    def test_no_key_needed_without_option(self):
        service = Service()
        try:
            status, _, _ = post(service.url, BUILT_IN_VOICES[0], "pcm_16000", {"text": "Hi"},
                                {"xi-api-key": "anything"})
            self.assertEqual(status, 200)
        finally:
            self.assertEqual(service.stop()[0], 0)


def speak_in_threads(url, starts):
    """Sends one request per start offset (seconds); returns [(status, error_status, seconds)]."""
    results = [None] * len(starts)
    origin = time.monotonic()

    def run(index, delay):
        time.sleep(delay)
        began = time.monotonic()
        status, _, data = speak(url, text=f"Request number {index}.", output_format="pcm_16000")
        results[index] = (status, error_status(data) if status != 200 else None,
                          time.monotonic() - began, began - origin)

    threads = [threading.Thread(target=run, args=(i, d)) for i, d in enumerate(starts)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class LoadTest(unittest.TestCase):
    def test_latency_delays_without_blocking(self):
        service = Service("--latency", "1000")
        try:
            results = speak_in_threads(service.url, [0, 0, 0])
            for status, _, seconds, _ in results:
                self.assertEqual(status, 200)
                self.assertGreaterEqual(seconds, 1.0)
            # Three delays served side by side, not one after another (that would take 3 s).
            self.assertLess(max(r[2] for r in results), 2.6)
        finally:
            self.assertEqual(service.stop()[0], 0)

    def test_max_concurrent_refuses_beyond_limit(self):
        service = Service("--latency", "1500", "--max-concurrent", "2")
        try:
            results = speak_in_threads(service.url, [0, 0, 0.5, 0.5])
            self.assertEqual([r[0] for r in results[:2]], [200, 200])
            for status, code, seconds, _ in results[2:]:
                self.assertEqual((status, code), (429, "too_many_concurrent_requests"))
                self.assertLess(seconds, 1.2)  # refused at once, not after the 1.5 s latency
            # Answered requests free their places.
            self.assertEqual([r[0] for r in speak_in_threads(service.url, [0, 0])], [200, 200])
        finally:
            self.assertEqual(service.stop()[0], 0)


@unittest.skipUnless(SPEECHD, "LYRANE_SPEECHD_BIN is not set")
class LifecycleTest(unittest.TestCase):
    def test_stop_signals_exit_cleanly(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                service = Service()
                self.assertEqual(speak(service.url, text="Hello")[0], 200)
                status, err = service.stop(sig)
                self.assertEqual(status, 0)
                # One log line per request: method, path, status, milliseconds.
                self.assertRegex(err, re.compile(
                    r"^POST /v1/text-to-speech/EXAVITQu4vr4xnSDxMaL 200 \d+ ms$", re.M))

    def test_fixed_port_and_bad_options(self):
        probe = Service()
        port = int(probe.url.rsplit(":", 1)[1])
        probe.stop()
        service = Service("--port", str(port))
        try:
            self.assertEqual(service.url, f"http://127.0.0.1:{port}")
            # A second service cannot take the same port.
            second = subprocess.run([SPEECHD, "--port", str(port)], capture_output=True,
                                    text=True, timeout=20)
            self.assertEqual(second.returncode, 1)
            self.assertEqual(second.stdout, "")
        finally:
            self.assertEqual(service.stop()[0], 0)
        for args in (["--port", "70000"], ["--latency", "-1"], ["--host", "not an address"],
                     ["--max-concurrent", "x"]):
            with self.subTest(args=args):
                result = subprocess.run([SPEECHD, *args], capture_output=True, text=True,
                                        timeout=20)
                self.assertEqual(result.returncode, 1)
                self.assertIn("Invalid value", result.stderr)


if __name__ == "__main__":
    unittest.main()
