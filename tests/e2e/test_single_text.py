"""Single-text runs (--say, --text): progress lines, output naming, samples, context texts,
the API key and the text checks that come before any cache or request."""

import json
import os
import shutil
import subprocess
import unittest

from support import (DEFAULT_VOICE_ID, LyraneTestCase, error_response, mp3_from_pcm, pcm_tone,
                     read_wav, cache_key)

RATE = 44100
TEXT = "Hello from one line."


def stored_once(value):
    """A 16-bit value after one read (/32768) and write (*32767, truncated toward zero)."""
    return int(value * 32767 / 32768)


def tone_samples(text):
    pcm = pcm_tone(400 + 40 * len(text))
    return [int.from_bytes(pcm[i:i + 2], "little", signed=True) for i in range(0, len(pcm), 2)]


class SingleTextCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.cache = self.path("cache")

    def say(self, *extra, text=TEXT, env=None, output="out.wav"):
        args = ["--say", text, "--temp-dir", self.cache]
        if output is not None:
            args += ["--output", output]
        return self.run_lyrane(args + list(extra), env=self.env if env is None else env)

    def clip_path(self, text=TEXT, prev="", next="", speed=1.0, ext=".wav"):
        return os.path.join(self.cache, cache_key(text, prev, next, DEFAULT_VOICE_ID, speed) + ext)

    def cache_files(self):
        return sorted(os.listdir(self.cache)) if os.path.isdir(self.cache) else []


class ProgressAndOutputTest(SingleTextCase):
    def test_first_run_synthesizes_and_second_uses_the_cache(self):
        clip = self.clip_path()
        first = self.say()
        self.assertExitStatus(first, 0)
        self.assertEqual(first.stderr, "Generating audio for text...\n"
                         "Audio generated successfully: %s\n"
                         "Created WAV audio file: out.wav\n"
                         "Billed: %d characters for 1 new clips (estimated)\n" % (clip, len(TEXT)))
        self.assertEqual(first.stdout, "")
        self.assertEqual(self.service.request_count, 1)
        request = self.service.requests[0]
        self.assertEqual(request.path, "/v1/text-to-speech/" + DEFAULT_VOICE_ID)
        self.assertEqual(request.headers["xi-api-key"], "test-key")
        self.assertEqual(request.body, json.dumps({"model_id": "eleven_multilingual_v2",
                                                   "text": TEXT}, separators=(",", ":")).encode())
        self.assertEqual(self.cache_files(), [os.path.basename(clip)])

        second = self.say(output="again.wav")
        self.assertExitStatus(second, 0)
        self.assertEqual(second.stderr, "Using cached audio: %s\n"
                         "Created WAV audio file: again.wav\n" % clip)
        self.assertEqual(self.service.request_count, 1, "a cached clip was requested again")

    def test_samples_are_rescaled_once_per_write(self):
        self.assertExitStatus(self.say(), 0)
        once = [stored_once(v) for v in tone_samples(TEXT)]
        rate, channels, cached = read_wav(self.clip_path())
        self.assertEqual((rate, channels), (RATE, 1))
        self.assertEqual(cached, once)
        rate, channels, output = read_wav(self.path("out.wav"))
        self.assertEqual((rate, channels), (RATE, 1))
        self.assertEqual(output, [stored_once(v) for v in once])
        # Guard against a tone too quiet for the rescaling to show.
        raw = tone_samples(TEXT)
        self.assertTrue(raw != cached and cached != output, "the rescaling left no trace")

    def test_output_names(self):
        cases = [
            ("out", "out.wav"),
            ("out.ogg", "out.ogg.wav"),
            ("voice.Wav", "voice.Wav"),
            ("plain.wav", "plain.wav"),
        ]
        self.assertExitStatus(self.say(output="first.wav"), 0)
        for given, written in cases:
            with self.subTest(output=given):
                result = self.say(output=given)
                self.assertExitStatus(result, 0)
                self.assertTrue(result.stderr.endswith("Created WAV audio file: %s\n" % written),
                                result.stderr)
                rate, channels, samples = read_wav(self.path(written))
                self.assertEqual((rate, channels, len(samples)),
                                 (RATE, 1, len(tone_samples(TEXT))))
                if written != given:
                    self.assertFalse(os.path.exists(self.path(given)))

    def test_mp3_output_name_gives_an_mp3_file_of_that_name(self):
        result = self.say(output="speech.MP3")
        self.assertExitStatus(result, 0)
        self.assertTrue(result.stderr.endswith("Created MP3 audio file: speech.MP3\n"
                                               "Billed: 20 characters for 1 new clips "
                                               "(estimated)\n"), result.stderr)
        self.assertFalse(os.path.exists(self.path("speech.MP3.wav")))
        if shutil.which("ffprobe") is None:
            self.skipTest("ffprobe is not installed")
        probe = subprocess.run(
            ["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels",
             "-show_entries", "format=format_name,duration", "-of", "json",
             self.path("speech.MP3")], capture_output=True, text=True)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        info = json.loads(probe.stdout)
        self.assertEqual(info["format"]["format_name"], "mp3")
        stream = info["streams"][0]
        self.assertEqual((stream["codec_name"], stream["sample_rate"], stream["channels"]),
                         ("mp3", "44100", 1))
        expected = (400 + 40 * len(TEXT)) / 1000.0
        self.assertAlmostEqual(float(info["format"]["duration"]), expected, delta=0.1)

    def test_no_padding_reports_the_cache_file_and_writes_no_output(self):
        clip = self.clip_path()
        result = self.say("--no-padding", output="never.wav")
        self.assertExitStatus(result, 0)
        self.assertEqual(result.stderr, "Generating audio for text...\n"
                         "Audio generated successfully: %s\n"
                         "\n--no-padding mode: Audio segment generated successfully.\n"
                         "Segment file: %s\n"
                         "Billed: %d characters for 1 new clips (estimated)\n"
                         % (clip, clip, len(TEXT)))
        self.assertFalse(os.path.exists(self.path("never.wav")))
        self.assertTrue(os.path.isfile(clip))

        cached = self.say("--no-padding", output="never.wav")
        self.assertExitStatus(cached, 0)
        self.assertEqual(cached.stderr, "Using cached audio: %s\n"
                         "\n--no-padding mode: Audio segment generated successfully.\n"
                         "Segment file: %s\n" % (clip, clip))
        self.assertFalse(os.path.exists(self.path("never.wav")))
        self.assertEqual(self.service.request_count, 1)

    def test_failed_request(self):
        self.service.responder = lambda record, index: error_response(500, "overloaded")
        result = self.say("--retries", "0")
        self.assertExitStatus(result, 1)
        prefix = "Generating audio for text...\nFailed to generate audio: TTS request failed"
        self.assertTrue(result.stderr.startswith(prefix), result.stderr)
        self.assertTrue(result.stderr.endswith("\n"))
        self.assertEqual(result.stderr.count("\n"), 2, result.stderr)
        self.assertEqual(self.service.request_count, 1, "a failure must not be retried with --retries 0")
        self.assertEqual(self.cache_files(), [])
        self.assertFalse(os.path.exists(self.path("out.wav")))

    def test_mp3_clip_is_decoded_and_written_as_wav(self):
        clip = self.clip_path(ext=".mp3")
        result = self.say("--format", "mp3_44100")
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.requests[0].headers["accept"], "audio/mpeg")
        self.assertIn("Audio generated successfully: %s\n" % clip, result.stderr)
        with open(clip, "rb") as cached:
            self.assertEqual(cached.read(), mp3_from_pcm(pcm_tone(400 + 40 * len(TEXT))),
                             "an MP3 clip is cached as the service sent it")
        rate, channels, samples = read_wav(self.path("out.wav"))
        self.assertEqual((rate, channels), (RATE, 1))
        expected = len(tone_samples(TEXT))
        # The decoder may keep a little of the encoder's padding, never much.
        self.assertLess(abs(len(samples) - expected), 2 * 1152, len(samples))
        self.assertGreater(max(samples), 12000, "the decoded tone is missing")


class ContextTextTest(SingleTextCase):
    def test_context_texts_are_sent_and_keyed(self):
        result = self.say("--previous-text", "  Before it. ", "--next-text", "After it.")
        self.assertExitStatus(result, 0)
        request = self.service.requests[0]
        self.assertEqual((request.previous_text, request.next_text), ("Before it.", "After it."))
        clip = self.clip_path(prev="Before it.", next="After it.")
        self.assertEqual(self.cache_files(), [os.path.basename(clip)])
        self.assertIn("Audio generated successfully: %s\n" % clip, result.stderr)

        same = self.say("--previous-text", "Before it.", "--next-text", "After it.")
        self.assertExitStatus(same, 0)
        self.assertIn("Using cached audio: %s\n" % clip, same.stderr)
        self.assertEqual(self.service.request_count, 1)

        other = self.say("--previous-text", "Something else.", "--next-text", "After it.")
        self.assertExitStatus(other, 0)
        self.assertIn("Generating audio for text...\n", other.stderr)
        self.assertEqual(self.service.request_count, 2)
        self.assertEqual(self.service.requests[1].previous_text, "Something else.")
        self.assertIn(os.path.basename(self.clip_path(prev="Something else.", next="After it.")),
                      self.cache_files())

    def test_context_files(self):
        previous = self.write_text("prev.txt", "\n  Line one.\r\nLine two.\r\n\n")
        following = self.write_text("next.txt", "Coming next.\n")
        result = self.say("--previous-text-file", previous, "--next-text-file", following)
        self.assertExitStatus(result, 0)
        request = self.service.requests[0]
        self.assertEqual(request.previous_text, "Line one.\nLine two.")
        self.assertEqual(request.next_text, "Coming next.")
        self.assertEqual(self.cache_files(), [os.path.basename(
            self.clip_path(prev="Line one.\nLine two.", next="Coming next."))])

    def test_text_file_is_read_and_trimmed(self):
        source = self.write_text("speech.txt", "\n  Spoken from a file.\r\n")
        result = self.run_lyrane(["--text", source, "--temp-dir", self.cache, "--output", "f.wav"],
                                 env=self.env)
        self.assertExitStatus(result, 0)
        self.assertEqual(self.service.requests[0].text, "Spoken from a file.")
        self.assertEqual(self.cache_files(),
                         [os.path.basename(self.clip_path(text="Spoken from a file."))])

    def test_speed_setting(self):
        slow = self.say("--speed", "0.95")
        self.assertExitStatus(slow, 0)
        self.assertEqual(self.service.requests[0].voice_settings, {"speed": 0.95})
        self.assertIn(os.path.basename(self.clip_path(speed=0.95)), self.cache_files())

        nearly = self.say("--speed", "1.005", text="Nearly normal speed.")
        self.assertExitStatus(nearly, 0)
        self.assertIsNone(self.service.requests[1].voice_settings)
        self.assertNotIn("voice_settings", self.service.requests[1].json)
        self.assertIn(os.path.basename(self.clip_path(text="Nearly normal speed.", speed=1.005)),
                      self.cache_files())


class ApiKeyTest(SingleTextCase):
    def env_without_key(self):
        return {"LYRANE_API_URL": self.service.url}

    def test_key_sources(self):
        key_file = self.write_text("keys/my-key", "  from-file-key \n")
        with open(os.path.join(self.home, ".elevenlabs-api-key"), "w") as default:
            default.write("\ndefault-file-key\n")
        cases = [
            ("environment, trimmed", {"ELEVENLABS_API_KEY": "env-key\n"}, [], "env-key"),
            ("environment wins over a key file", {"ELEVENLABS_API_KEY": "env-key"},
             ["--key-file", key_file], "env-key"),
            ("--key-file", {}, ["--key-file", key_file], "from-file-key"),
            ("-k", {}, ["-k", key_file], "from-file-key"),
            ("default key file in the home directory", {}, [], "default-file-key"),
        ]
        for number, (name, env, args, expected) in enumerate(cases):
            with self.subTest(name):
                merged = self.env_without_key()
                merged.update(env)
                result = self.say(*args, text="Key case %d." % number, env=merged)
                self.assertExitStatus(result, 0)
                self.assertEqual(self.service.requests[-1].headers["xi-api-key"], expected)

    def check_key_failure(self, env, args, message):
        before = self.service.request_count
        result = self.say(*args, env=env)
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, message)
        self.assertEqual(self.service.request_count, before)
        self.assertFalse(os.path.exists(self.cache), "cache directory made before the key")
        self.assertFalse(os.path.exists(self.path("out.wav")))

    def test_key_failures(self):
        empty = self.write_text("empty-key", "\n")
        good = self.write_text("good-key", "good\n")
        missing = self.path("no-such-key")
        with self.subTest("key file holding only a newline"):
            self.check_key_failure(self.env_without_key(), ["--key-file", empty],
                                   "ElevenLabs API key file is empty\n")
        with self.subTest("missing key file"):
            self.check_key_failure(self.env_without_key(), ["--key-file", missing],
                                   "failed to read ElevenLabs API key: "
                                   "No such file or directory\n")
        with self.subTest("missing default key file"):
            self.check_key_failure(self.env_without_key(), [],
                                   "failed to read ElevenLabs API key: "
                                   "No such file or directory\n")
        with self.subTest("blank environment key does not fall back to the file"):
            env = self.env_without_key()
            env["ELEVENLABS_API_KEY"] = "  \t "
            self.check_key_failure(env, ["--key-file", good], "ElevenLabs API key is required\n")

    def test_default_cache_directory_is_not_made_before_the_key(self):
        result = self.run_lyrane(["--say", TEXT, "--output", "out.wav"],
                                 env=self.env_without_key())
        self.assertExitStatus(result, 1)
        self.assertTrue(result.stderr.startswith("failed to read ElevenLabs API key: "))
        self.assertFalse(os.path.exists(os.path.join(self.home, "tmp", "lyrane-audio")))

    def test_key_is_required_even_for_a_cached_clip(self):
        self.assertExitStatus(self.say(), 0)
        result = self.say(env=self.env_without_key())
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr,
                         "failed to read ElevenLabs API key: No such file or directory\n")
        self.assertNotIn("Using cached audio", result.stderr)
        self.assertEqual(self.service.request_count, 1)


class TextCheckTest(SingleTextCase):
    def check_rejected(self, args, message):
        result = self.run_lyrane(args + ["--temp-dir", self.cache, "--output", "out.wav"],
                                 env=self.env)
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, message)
        self.assertEqual(self.service.request_count, 0)
        self.assertFalse(os.path.exists(self.cache))
        return result

    def test_empty_texts(self):
        blank_file = self.write_text("blank.txt", "  \n\t\r\n \n")
        empty_file = self.write_text("empty.txt", "")
        for name, args in [("--say of blanks", ["--say", "   "]),
                           ("--say of line breaks", ["--say", "\n\t\n"]),
                           ("--text of white space", ["--text", blank_file]),
                           ("--text of an empty file", ["--text", empty_file])]:
            with self.subTest(name):
                self.check_rejected(args, "Text is empty\n")

    def test_missing_text_file_reports_the_reason_not_the_path(self):
        missing = self.path("absent-speech.txt")
        result = self.check_rejected(["--text", missing],
                                     "Failed to read text file: No such file or directory\n")
        self.assertNotIn("absent-speech", result.stderr)

    def test_text_is_checked_before_the_key(self):
        result = self.run_lyrane(["--say", "  ", "--temp-dir", self.cache, "--output", "o.wav",
                                  "--key-file", self.path("no-key")],
                                 env={"LYRANE_API_URL": self.service.url})
        self.assertExitStatus(result, 1)
        self.assertEqual(result.stderr, "Text is empty\n")


if __name__ == "__main__":
    unittest.main()
