"""Damaged and hostile clips in the cache, and an MP3 output interrupted while it is written:
a cached WAV clip whose header cannot be read, or that is cut short, is set aside and fetched
again; any other clip that cannot be read ends the run with status 1 and one line naming it,
never a signal, within a bounded amount of memory; an interrupted output is absent or whole."""

import os
import random
import shutil
import signal
import struct
import subprocess
import time
import unittest

import support
from support import (DEFAULT_VOICE_ID, LyraneTestCase, cache_key, mp3_from_pcm, pcm_tone,
                     write_vtt)
from test_speechd import Service

TEXT = "A clip from the cache."
# Address space the program may use; a header that drives the allocation needs 16 GiB.
MEMORY_LIMIT_KIB = 2 * 1024 * 1024


def wav_header(channels, rate, data_bytes):
    """A 44-byte PCM WAV header declaring whatever it is given."""
    return (b"RIFF" + struct.pack("<I", (36 + data_bytes) & 0xFFFFFFFF) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, channels, rate, (rate * 2 * channels) & 0xFFFFFFFF,
                        2 * channels, 16) + b"data" + struct.pack("<I", data_bytes))


def sound_wav():
    pcm = pcm_tone(600)
    return wav_header(1, 44100, len(pcm)) + pcm


def mp3_part(channels, seconds):
    """A tone as MP3 frames with the given channel count, without tags or an info frame."""
    done = subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100:duration=%g" % seconds, "-ac", str(channels),
         "-c:a", "libmp3lame", "-write_xing", "0", "-id3v2_version", "0", "-write_id3v1", "0",
         "-f", "mp3", "pipe:1"], capture_output=True, check=True)
    return done.stdout


def sanitized(program):
    """AddressSanitizer reserves terabytes of address space: no limit can be set for it."""
    with open(program, "rb") as binary:
        return b"__asan_init" in binary.read()


class HostileClipCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.service = self.start_service()
        self.env = self.service_env(self.service)
        self.cache = self.path("cache")
        os.makedirs(self.cache)
        self.limited = support.lyrane_bin()
        if not sanitized(self.limited):
            self.limited = self.path("limited-lyrane")
            with open(self.limited, "w") as script:
                script.write('#!/bin/sh\nulimit -v %d\nexec "%s" "$@"\n'
                             % (MEMORY_LIMIT_KIB, support.lyrane_bin()))
            os.chmod(self.limited, 0o755)

    def place(self, ext, data):
        clip = os.path.join(self.cache, cache_key(TEXT, "", "", DEFAULT_VOICE_ID, 1.0) + ext)
        with open(clip, "wb") as out:
            out.write(data)
        return clip

    def run_both(self, ext):
        """The clip through a single-text run and a one-cue subtitle run."""
        fmt = ["--format", "mp3_44100"] if ext == ".mp3" else []
        vtt = self.path("one.vtt")
        write_vtt(vtt, [(500, 3000, TEXT)])
        common = ["--temp-dir", self.cache] + fmt
        return [self.run_lyrane(["--say", TEXT, "--output", self.path("say.wav")] + common,
                                env=self.env, binary=self.limited),
                self.run_lyrane(["--vtt", vtt, "--output", self.path("vtt.wav")] + common,
                                env=self.env, binary=self.limited)]

    def assertRefused(self, result, clip, named=True):
        """Status 1 and one line saying why, the last; `named`: that line names the clip."""
        self.assertExitStatus(result, 1)
        lines = result.stderr.splitlines()
        failures = [line for line in lines if "unusable" in line or line.startswith("Failed")]
        self.assertEqual(failures, lines[-1:], result.stderr)
        if named:
            self.assertIn(clip, lines[-1])


class UnreadableClipTest(HostileClipCase):
    def test_hostile_wav_clips_are_set_aside_and_fetched_again(self):
        cases = [
            ("WAV rate 2^31-1, data 0xFFFFFFFF", wav_header(1, 0x7FFFFFFF, 0xFFFFFFFF)),
            ("WAV rate 0xFFFFFFFF", wav_header(1, 0xFFFFFFFF, 8) + bytes(8)),
            ("WAV with 9 channels", wav_header(9, 8000, 18) + bytes(18)),
        ]
        vtt = write_vtt(self.path("one.vtt"), [(500, 3000, TEXT)])
        for name, data in cases:
            with self.subTest(name):
                self.service.reset()
                clip = self.place(".wav", data)
                say = self.run_lyrane(["--say", TEXT, "--output", self.path("say.wav"),
                                       "--temp-dir", self.cache], env=self.env,
                                      binary=self.limited)
                self.assertExitStatus(say, 0)
                self.assertIn("Cached audio %s is unusable (" % clip, say.stderr)
                self.assertIn("); set aside as %s.unusable, fetching it again\n" % clip,
                              say.stderr)
                # The bad file is kept as it was; the clip in its place is sound.
                with open(clip + ".unusable", "rb") as kept:
                    self.assertEqual(kept.read(), data)
                self.assertEqual(self.service.request_count, 1)
                again = self.run_lyrane(["--say", TEXT, "--output", self.path("say.wav"),
                                         "--temp-dir", self.cache], env=self.env)
                self.assertExitStatus(again, 0)
                self.assertNotIn("unusable", again.stderr)
                self.assertEqual(self.service.request_count, 1)

                # A second bad copy of the same clip takes the next name, in a subtitle run too.
                self.place(".wav", data)
                subtitles = self.run_lyrane(["--vtt", vtt, "--output", self.path("vtt.wav"),
                                             "--temp-dir", self.cache], env=self.env,
                                            binary=self.limited)
                self.assertExitStatus(subtitles, 0)
                self.assertIn("Cached segment %s is unusable (" % clip, subtitles.stderr)
                self.assertIn("); set aside as %s.unusable-2, fetching it again\n" % clip,
                              subtitles.stderr)
                self.assertEqual(self.service.request_count, 2)
                for name in (clip, clip + ".unusable", clip + ".unusable-2"):
                    os.remove(name)

    def test_hostile_clips_end_the_run_with_status_1(self):
        cases = [
            ("mp3-named WAV rate 0", ".mp3", wav_header(1, 0, 2000) + bytes(2000)),
            ("mp3-named WAV", ".mp3", sound_wav()),
        ]
        for name, ext, data in cases:
            with self.subTest(name):
                clip = self.place(ext, data)
                for result in self.run_both(ext):
                    self.assertRefused(result, clip)
                self.assertEqual(self.service.request_count, 0)
                os.remove(clip)

    def test_damaged_clips_load_or_are_refused(self):
        randomness = random.Random(8)
        sources = [(".wav", sound_wav()), (".mp3", mp3_from_pcm(pcm_tone(600)))]
        for ext, sound in sources:
            for round in range(6):
                data = bytearray(sound)
                if round < 3:
                    del data[randomness.randrange(len(data)):]
                else:
                    for _ in range(randomness.randrange(1, 40)):
                        at = randomness.randrange(64 if randomness.random() < 0.5 else len(data))
                        data[at] = randomness.randrange(256)
                with self.subTest(ext=ext, round=round):
                    clip = self.place(ext, bytes(data))
                    for result in self.run_both(ext):
                        self.assertIn(result.returncode, (0, 1), result.stderr)
                        if result.returncode == 1:
                            # Damage that older checks catch keeps their messages.
                            self.assertRefused(result, clip, named=False)
                    os.remove(clip)


class LegacyClipTest(HostileClipCase):
    def test_headerless_clip_is_upgraded_by_the_cache_check_and_used(self):
        pcm = pcm_tone(600)
        clip = self.place(".wav", pcm)
        for result in self.run_both(".wav"):
            self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 0)
        rate, channels, samples = support.read_wav(clip)
        self.assertEqual((rate, channels), (44100, 1))
        stored = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
        self.assertEqual(samples, [int(v * 32767 / 32768) for v in stored])
        self.assertEqual(sorted(os.listdir(self.cache)), [os.path.basename(clip)])


class DamagedClipFetchedAgainTest(LyraneTestCase):
    def read(self, path):
        with open(path, "rb") as kept:
            return kept.read()

    def test_clip_cut_short_or_with_damaged_magic_is_fetched_again(self):
        """Neither is taken for a headerless clip of an early version, nor used as it is."""
        service = Service()
        env = {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": "offline"}
        cache = self.path("cache")
        clip = os.path.join(cache, cache_key(TEXT, "", "", DEFAULT_VOICE_ID, 1.0) + ".wav")

        def say(output):
            return self.run_lyrane(["--say", TEXT, "--temp-dir", cache, "--output", output],
                                   env=env)
        try:
            self.assertExitStatus(say(self.path("first.wav")), 0)
            sound = self.read(clip)
            cases = [("cut to half", sound[:len(sound) // 2], "data chunk cut short"),
                     ("damaged magic", b"\0\0\0\0" + sound[4:], "missing RIFF header")]
            for name, damaged, reason in cases:
                with self.subTest(name):
                    with open(clip, "wb") as out:
                        out.write(damaged)
                    again = say(self.path("again.wav"))
                    self.assertExitStatus(again, 0)
                    self.assertIn("Cached audio %s is unusable (invalid WAV file: %s"
                                  % (clip, reason), again.stderr)
                    self.assertIn("; set aside as %s.unusable, fetching it again\n" % clip,
                                  again.stderr)
                    self.assertEqual(self.read(clip + ".unusable"), damaged)
                    self.assertEqual(self.read(clip), sound)
                    self.assertEqual(self.read(self.path("again.wav")),
                                     self.read(self.path("first.wav")))
                    os.remove(clip + ".unusable")
        finally:
            code, log = service.stop()
        self.assertEqual(code, 0)
        self.assertEqual(log.count("POST /v1/text-to-speech/"), 1 + len(cases), log)


@unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg makes the MP3 frames")
class ChangingLayoutTest(HostileClipCase):
    def test_stereo_frames_then_mono_frames(self):
        self.place(".mp3", mp3_part(2, 0.05) + mp3_part(1, 0.5))
        for result in self.run_both(".mp3"):
            self.assertExitStatus(result, 0)
        self.assertEqual(self.service.request_count, 0)
        with open(self.path("say.wav"), "rb") as out:
            self.assertGreater(len(out.read()), 44 + 2 * 44100 // 2)


class InterruptedMp3OutputTest(LyraneTestCase):
    def test_killed_while_writing_leaves_the_previous_output_whole(self):
        service = self.start_service()
        vtt = self.path("long.vtt")
        hours3 = 3 * 3600 * 1000
        write_vtt(vtt, [(0, 2000, "Start."), (hours3 - 2000, hours3, "End.")])
        output = self.path("out.mp3")
        with open(output, "wb") as previous:
            previous.write(b"the previous output")
        env = {k: v for k, v in os.environ.items() if k not in support._CLEARED_VARIABLES}
        env.update(self.service_env(service))
        env.update({"HOME": self.home, "TMPDIR": self.home, "LC_ALL": "C.UTF-8"})
        process = subprocess.Popen(
            [support.lyrane_bin(), "--vtt", vtt, "--temp-dir", self.path("cache"), "--output",
             output], env=env, cwd=self.tmp, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True)
        self.addCleanup(process.stderr.close)
        # The placements are printed just before the file is written; three hours of MP3
        # take far longer than the moment waited here.
        lines = []
        for line in process.stderr:
            lines.append(line)
            if line.startswith("Segment 2: desired"):
                break
        time.sleep(1.0)
        process.kill()
        process.wait()
        self.assertTrue(lines and lines[-1].startswith("Segment 2: desired"), "".join(lines))
        self.assertEqual(process.returncode, -signal.SIGKILL)
        with open(output, "rb") as kept:
            self.assertEqual(kept.read(), b"the previous output")


if __name__ == "__main__":
    unittest.main()
