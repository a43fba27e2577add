"""Checks of the shared e2e toolkit itself: the fake service and the independent helpers that
other tests take as ground truth."""

import array
import json
import os
import subprocess
import sys
import threading
import unittest
import urllib.error
import urllib.request

from support import (FakeService, LyraneTestCase, Response, cache_key, cache_file_name,
                     error_response, mp3_from_pcm, pcm_tone, read_wav, run_lyrane, scripted,
                     write_vtt, write_wav)


def post(url, body=b"{}", headers=None, timeout=10):
    request = urllib.request.Request(url, data=body, method="POST",
                                     headers=headers or {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=timeout) as reply:
        return reply.status, dict(reply.headers), reply.read()


class FakeServiceTest(unittest.TestCase):
    def test_records_request_and_answers_with_predictable_pcm(self):
        with FakeService() as service:
            body = json.dumps({"model_id": "m", "text": "Hello", "next_text": "After"}).encode()
            status, headers, audio = post(
                service.url + "/v1/text-to-speech/my%20voice?output_format=pcm_44100", body,
                {"Content-Type": "application/json", "Accept": "audio/pcm",
                 "xi-api-key": "secret"})
            self.assertEqual(status, 200)
            self.assertEqual(headers["Content-Type"], "audio/pcm")
            # 400 ms + 40 ms per character at 44100 Hz, two bytes a sample
            self.assertEqual(len(audio), 2 * round((400 + 40 * 5) * 44.1))
            self.assertEqual(audio, pcm_tone(600))

            [record] = service.requests
            self.assertEqual(record.index, 0)
            self.assertEqual(record.method, "POST")
            self.assertEqual(record.path, "/v1/text-to-speech/my%20voice")
            self.assertEqual(record.voice_id, "my voice")
            self.assertEqual(record.query, {"output_format": "pcm_44100"})
            self.assertEqual(record.output_format, "pcm_44100")
            self.assertEqual(record.headers["xi-api-key"], "secret")
            self.assertEqual(record.headers["accept"], "audio/pcm")
            self.assertEqual(record.body, body)
            self.assertEqual((record.text, record.next_text, record.previous_text),
                             ("Hello", "After", None))

    def test_mp3_format_gets_an_mp3_stream(self):
        with FakeService() as service:
            body = json.dumps({"text": "Hi"}).encode()
            _, headers, audio = post(service.url + "/v1/text-to-speech/v?output_format=MP3_44100",
                                     body)
            self.assertEqual(headers["Content-Type"], "audio/mpeg")
            self.assertEqual(audio, mp3_from_pcm(pcm_tone(480)))
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                    "format=format_name:stream=sample_rate,channels",
                                    "-of", "json", "-"], input=audio, capture_output=True)
            info = json.loads(probe.stdout)
            self.assertEqual(info["format"]["format_name"], "mp3")
            self.assertEqual(info["streams"][0]["channels"], 1)
            self.assertEqual(info["streams"][0]["sample_rate"], "44100")

    def test_counts_requests_in_flight(self):
        delayed = lambda record, index: Response(headers={"Content-Type": "audio/pcm"},
                                                 body=b"ab", delay_seconds=0.4)
        with FakeService(responder=delayed) as service:
            post(service.url + "/one")
            post(service.url + "/two")
            self.assertEqual(service.max_in_flight, 1)

            service.reset()
            results = []
            threads = [threading.Thread(target=lambda: results.append(post(service.url + "/x")))
                       for _ in range(3)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual(len(results), 3)
            self.assertEqual(service.request_count, 3)
            self.assertEqual(service.max_in_flight, 3)
            self.assertEqual(sorted(r.index for r in service.requests), [0, 1, 2])

    def test_scripted_answers_errors_and_dropped_connections(self):
        def broken(record, index):
            raise ValueError("no answer for %d" % index)

        responder = scripted(error_response(429, "busy", {"Retry-After": "3"}),
                             Response(drop_connection=True), then=broken)
        with FakeService(responder=responder) as service:
            with self.assertRaises(urllib.error.HTTPError) as refused:
                post(service.url + "/a")
            self.assertEqual(refused.exception.code, 429)
            self.assertEqual(refused.exception.headers["Retry-After"], "3")
            self.assertEqual(json.loads(refused.exception.read())["detail"]["message"], "busy")

            with self.assertRaises((urllib.error.URLError, ConnectionError)):
                post(service.url + "/b")

            with self.assertRaises(urllib.error.HTTPError) as failed:
                post(service.url + "/c")
            self.assertEqual(failed.exception.code, 500)
            self.assertEqual([str(e) for e in service.errors], ["no answer for 2"])


class HelperTest(LyraneTestCase):
    def test_cache_key_matches_known_digest(self):
        self.assertEqual(cache_key("a", "b", "c", "v", 1.0), "0f7b6d4a1377de88a51a13a4a6925b94")
        self.assertEqual(cache_key("a", "b", "c", "v", 1.0), cache_key("ab", "", "c", "v", 1.0))
        self.assertNotEqual(cache_key("a", "", "", "v", 1.0), cache_key("a", "", "", "v", 1.1))
        self.assertEqual(cache_file_name("k", "MP3_22050"), "k.mp3")
        self.assertEqual(cache_file_name("k", "pcm_44100"), "k.wav")

    def test_pcm_tone_level_and_length(self):
        pcm = pcm_tone(1000)
        path = self.path("tone.wav")
        values = array.array("h")
        values.frombytes(pcm)
        if sys.byteorder == "big":
            values.byteswap()
        write_wav(path, values)
        rate, channels, samples = read_wav(path)
        self.assertEqual((rate, channels, len(samples)), (44100, 1, 44100))
        self.assertEqual(samples, values.tolist())
        # half of full scale, never above it
        self.assertTrue(16300 <= max(samples) <= 16384, max(samples))
        self.assertTrue(-16384 <= min(samples) <= -16300, min(samples))
        # ffmpeg agrees on what the file holds
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                "stream=sample_rate,channels,duration_ts", "-of", "json", path],
                               capture_output=True, text=True)
        stream = json.loads(probe.stdout)["streams"][0]
        self.assertEqual((stream["sample_rate"], stream["channels"], stream["duration_ts"]),
                         ("44100", 1, 44100))

    def test_write_vtt_layout(self):
        path = write_vtt(self.path("a.vtt"), [(0, 1500, "Hello"), (3723004, 3725000, "Two\nlines")])
        with open(path, encoding="utf-8") as source:
            self.assertEqual(source.read(),
                             "WEBVTT\n\n00:00:00.000 --> 00:00:01.500\nHello\n\n"
                             "01:02:03.004 --> 01:02:05.000\nTwo\nlines\n")

    def test_run_lyrane_cleans_the_environment(self):
        script = "import json, os; print(json.dumps(dict(os.environ)))"
        saved = {name: os.environ.get(name) for name in ("ELEVENLABS_API_KEY", "LYRANE_API_URL")}
        os.environ["ELEVENLABS_API_KEY"] = "leaked"
        os.environ["LYRANE_API_URL"] = "http://leaked"
        try:
            result = run_lyrane(["-c", script], binary=sys.executable,
                                env={"LYRANE_DEFAULT_VOICE": "Dostan", "PATH": None})
            again = self.run_lyrane(["-c", script], binary=sys.executable)
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
        self.assertEqual(result.returncode, 0, result.stderr)
        seen = json.loads(result.stdout)
        self.assertNotIn("ELEVENLABS_API_KEY", seen)
        self.assertNotIn("LYRANE_API_URL", seen)
        self.assertNotIn("PATH", seen)
        self.assertEqual(seen["LYRANE_DEFAULT_VOICE"], "Dostan")
        self.assertTrue(os.path.isdir(seen["HOME"]))
        self.assertNotEqual(seen["HOME"], os.path.expanduser("~"))
        self.assertEqual(seen["TMPDIR"], os.path.join(seen["HOME"], "tmp"))
        self.assertEqual(json.loads(again.stdout)["HOME"], self.home)


if __name__ == "__main__":
    unittest.main()
