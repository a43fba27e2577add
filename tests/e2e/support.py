"""Shared toolkit for lyrane's end-to-end tests (standard library only).

Test modules in tests/e2e import it directly::

    from support import FakeService, Response, LyraneTestCase, run_lyrane, cache_key

Programs and paths
    lyrane_bin() / speechd_bin() / source_dir()
        The built programs (env LYRANE_BIN / LYRANE_SPEECHD_BIN, default build/lyrane and
        build/lyrane-speechd in the source tree) and the source tree (env LYRANE_SOURCE_DIR,
        default two levels above this file).

    run_lyrane(args, env=None, cwd=None, timeout=120, input=None, home=None, binary=None)
        Runs the program and returns subprocess.CompletedProcess (text mode, stdout and stderr
        captured separately, never raises on a non-zero status). The child's environment is the
        caller's minus ELEVENLABS_API_KEY, LYRANE_DEFAULT_VOICE, LYRANE_S3_BUCKET,
        LYRANE_API_URL and LYRANE_FORMAT, with LC_ALL=C.UTF-8, HOME=<home> and TMPDIR=<home>/tmp
        (so the default cache directory is private to the test); then `env` is laid over it (a
        value of None removes a variable). Without `home` every call gets a fresh directory,
        removed when the interpreter exits; pass the same `home` (LyraneTestCase does) to share
        the default key file location and the default cache directory between runs.

Fake speech service
    Response(status=200, headers={}, body=b"", delay_seconds=0.0, drop_connection=False)
        What the fake sends back. Content-Length is added unless given in `headers`.
        `drop_connection` closes the socket after the delay without answering (note that an
        HTTP client may then send the request once more on a fresh connection).

    RequestRecord: index, method, path, query (dict, first value per name), query_string, headers
        (dict, lower-case names), body (bytes), json (parsed body or None) and the shortcuts
        .text, .previous_text, .next_text, .voice_settings (from the JSON body, None when
        absent), .voice_id (last path segment, percent-decoded) and .output_format.

    FakeService(responder=None, duration_ms=default_duration_ms, host="127.0.0.1")
        A threaded HTTP/1.1 server (keep-alive) on a free port of 127.0.0.1; start()/stop() or
        use it as a context manager. Properties: url ("http://127.0.0.1:PORT"), port,
        requests (a copy of the records, in arrival order), request_count, max_in_flight (the
        largest number of requests being answered at once), errors (exceptions raised by the
        responder; such a request is answered with 500). reset() forgets requests and counts.
        `responder(record, index) -> Response` may be replaced at any time (attribute
        `responder`); None means default_response. default_response(record) answers 200 with a
        tone of duration_ms(text) milliseconds: raw PCM with Content-Type audio/pcm, or MP3
        (audio/mpeg) when the output_format query starts with "mp3" (any case).
        expected_duration_ms(text) gives that duration. GET /v1/user/subscription is answered
        apart, from the `subscription` attribute (a generous account; None answers 404), and
        counted in account_reads, never in requests.

    scripted(*responses, then=None) -> responder
        Answers request i with responses[i]; later requests get then(record, index), or the
        service's default response when `then` is None.

    error_response(status, message="error", headers=None) -> Response
        A JSON error body {"detail": {"status": ..., "message": ...}} with that status.

Audio
    pcm_tone(duration_ms, freq=440, amplitude=0.5, rate=44100) -> bytes
        Signed 16-bit little-endian mono sine, round(duration_ms * rate / 1000) samples, sample
        n = round(amplitude * 32767 * sin(2*pi*freq*n/rate)).
    default_duration_ms(text) -> int: 400 + 40 * len(text).
    mp3_from_pcm(pcm, rate=44100) -> bytes: 128 kbit/s mono MP3 via ffmpeg, else lame (cached).
    read_wav(path) -> (rate, channels, list_of_int16 interleaved); 16-bit files only.
    write_wav(path, samples, rate=44100, channels=1): writes 16-bit PCM WAV from ints.
    wav_duration_ms(path) -> float.

Cache and subtitles
    cache_key(text, prev, next, voice_id, speed) -> str
        md5 hex of text + prev + next + voice_id + "%.2f" % speed, UTF-8.
    cache_extension(output_format) -> ".mp3" or ".wav"; cache_file_name(key, output_format).
    VOICES: the built-in voice names and their identifiers; DEFAULT_VOICE_ID (Brenn).
    format_timestamp(ms) -> "HH:MM:SS.mmm"
    write_vtt(path, cues, header="WEBVTT"): cues are (start_ms, end_ms, text) tuples.

Test base
    free_port() -> int: a port on 127.0.0.1 that was free a moment ago.
    LyraneTestCase(unittest.TestCase): self.tmp (fresh directory, removed after the test),
        self.home (self.tmp/home), self.path(*parts), self.write_text(name, text) -> path,
        self.start_service(**kwargs) -> started FakeService stopped at cleanup,
        self.service_env(service, api_key="test-key") -> env dict for run_lyrane,
        self.run_lyrane(args, **kwargs) (home defaults to self.home, cwd to self.tmp),
        self.assertExitStatus(result, status) (shows stdout/stderr on failure).
"""

import atexit
import hashlib
import json
import math
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import wave
from array import array
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = [
    "VOICES", "DEFAULT_VOICE_ID", "source_dir", "lyrane_bin", "speechd_bin", "run_lyrane",
    "Response", "RequestRecord", "FakeService", "scripted", "error_response", "pcm_tone",
    "default_duration_ms", "mp3_from_pcm", "read_wav", "write_wav", "wav_duration_ms",
    "cache_key", "cache_extension", "cache_file_name", "format_timestamp", "write_vtt",
    "free_port", "LyraneTestCase",
]

VOICES = {
    "Miravel": "EXAVITQu4vr4xnSDxMaL",
    "Dostan": "pNInz6obpgDQGcFmaJgB",
    "Brenn": "21m00Tcm4TlvDq8ikWAM",
    "Ottaline": "ErXwobaYiN019PkySvjV",
}
DEFAULT_VOICE_ID = VOICES["Brenn"]

_CLEARED_VARIABLES = ("ELEVENLABS_API_KEY", "LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET",
                      "LYRANE_S3_CLIENT", "LYRANE_API_URL", "LYRANE_FORMAT", "LYRANE_SHARD", "LYRANE_SHARD_COUNT",
                      "JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX")


# ---------------------------------------------------------------------------------------------
# Programs


def source_dir():
    configured = os.environ.get("LYRANE_SOURCE_DIR")
    if configured:
        return os.path.abspath(configured)
    return os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))


def lyrane_bin():
    return os.environ.get("LYRANE_BIN") or os.path.join(source_dir(), "build", "lyrane")


def speechd_bin():
    return os.environ.get("LYRANE_SPEECHD_BIN") or os.path.join(source_dir(), "build",
                                                                "lyrane-speechd")


_scratch_lock = threading.Lock()
_scratch_root = None


def _scratch_dir(prefix):
    global _scratch_root
    with _scratch_lock:
        if _scratch_root is None:
            _scratch_root = tempfile.mkdtemp(prefix="lyrane-e2e-")
            atexit.register(shutil.rmtree, _scratch_root, True)
    return tempfile.mkdtemp(prefix=prefix, dir=_scratch_root)


def run_lyrane(args, env=None, cwd=None, timeout=120, input=None, home=None, binary=None):
    """Run lyrane with a clean environment; see the module documentation."""
    if home is None:
        home = _scratch_dir("home-")
    os.makedirs(os.path.join(home, "tmp"), exist_ok=True)
    child_env = {k: v for k, v in os.environ.items() if k not in _CLEARED_VARIABLES}
    child_env.update({"HOME": home, "TMPDIR": os.path.join(home, "tmp"), "LC_ALL": "C.UTF-8"})
    for name, value in (env or {}).items():
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = str(value)
    program = binary or lyrane_bin()
    if not os.path.exists(program):
        raise FileNotFoundError("lyrane program not found at %s (set LYRANE_BIN)" % program)
    return subprocess.run([program] + [str(a) for a in args], env=child_env, cwd=cwd,
                          timeout=timeout, input=input, text=True, capture_output=True)


# ---------------------------------------------------------------------------------------------
# Audio


def default_duration_ms(text):
    return 400 + 40 * len(text)


def pcm_tone(duration_ms, freq=440.0, amplitude=0.5, rate=44100):
    count = int(round(duration_ms * rate / 1000.0))
    step = 2.0 * math.pi * freq / rate
    peak = amplitude * 32767.0
    samples = array("h", (int(round(peak * math.sin(step * n))) for n in range(count)))
    if sys.byteorder == "big":
        samples.byteswap()
    return samples.tobytes()


_mp3_cache = {}
_mp3_lock = threading.Lock()


def mp3_from_pcm(pcm, rate=44100):
    digest = hashlib.sha1(pcm + str(rate).encode()).hexdigest()
    with _mp3_lock:
        cached = _mp3_cache.get(digest)
    if cached is not None:
        return cached
    if shutil.which("ffmpeg"):
        command = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "s16le", "-ar",
                   str(rate), "-ac", "1", "-i", "pipe:0", "-c:a", "libmp3lame", "-b:a", "128k",
                   "-f", "mp3", "pipe:1"]
    elif shutil.which("lame"):
        command = ["lame", "--quiet", "-r", "-s", "%g" % (rate / 1000.0), "--bitwidth", "16",
                   "--signed", "--little-endian", "-m", "m", "-b", "128", "-", "-"]
    else:
        raise RuntimeError("neither ffmpeg nor lame is installed; cannot make MP3 answers")
    done = subprocess.run(command, input=pcm, capture_output=True, check=False)
    if done.returncode != 0 or not done.stdout:
        raise RuntimeError("MP3 encoding failed: %s" % done.stderr.decode(errors="replace"))
    with _mp3_lock:
        _mp3_cache[digest] = done.stdout
    return done.stdout


def read_wav(path):
    with wave.open(str(path), "rb") as wav:
        if wav.getsampwidth() != 2:
            raise ValueError("%s: %d-bit samples, expected 16" % (path, 8 * wav.getsampwidth()))
        rate, channels = wav.getframerate(), wav.getnchannels()
        frames = wav.readframes(wav.getnframes())
    samples = array("h")
    samples.frombytes(frames)
    if sys.byteorder == "big":
        samples.byteswap()
    return rate, channels, samples.tolist()


def write_wav(path, samples, rate=44100, channels=1):
    data = array("h", samples)
    if sys.byteorder == "big":
        data.byteswap()
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(data.tobytes())


def wav_duration_ms(path):
    with wave.open(str(path), "rb") as wav:
        return 1000.0 * wav.getnframes() / wav.getframerate()


# ---------------------------------------------------------------------------------------------
# Cache keys and subtitles


def cache_key(text, prev, next, voice_id, speed):
    joined = text + prev + next + voice_id + ("%.2f" % speed)
    return hashlib.md5(joined.encode("utf-8")).hexdigest()


def cache_extension(output_format):
    return ".mp3" if output_format.lower().startswith("mp3") else ".wav"


def cache_file_name(key, output_format):
    return key + cache_extension(output_format)


def format_timestamp(ms):
    hours, rest = divmod(int(ms), 3600000)
    minutes, rest = divmod(rest, 60000)
    seconds, millis = divmod(rest, 1000)
    return "%02d:%02d:%02d.%03d" % (hours, minutes, seconds, millis)


def write_vtt(path, cues, header="WEBVTT"):
    blocks = [header]
    for start_ms, end_ms, text in cues:
        blocks.append("%s --> %s\n%s" % (format_timestamp(start_ms), format_timestamp(end_ms),
                                         text))
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n\n".join(blocks) + "\n")
    return path


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---------------------------------------------------------------------------------------------
# Fake speech service


@dataclass
class Response:
    status: int = 200
    headers: dict = field(default_factory=dict)
    body: bytes = b""
    delay_seconds: float = 0.0
    drop_connection: bool = False


@dataclass
class RequestRecord:
    index: int
    method: str
    path: str
    query_string: str
    query: dict
    headers: dict
    body: bytes
    json: object = None
    received_at: float = 0.0

    def _member(self, name):
        return self.json.get(name) if isinstance(self.json, dict) else None

    @property
    def text(self):
        return self._member("text")

    @property
    def previous_text(self):
        return self._member("previous_text")

    @property
    def next_text(self):
        return self._member("next_text")

    @property
    def voice_settings(self):
        return self._member("voice_settings")

    @property
    def voice_id(self):
        return urllib.parse.unquote(self.path.rsplit("/", 1)[-1])

    @property
    def output_format(self):
        return self.query.get("output_format")


def scripted(*responses, then=None):
    def responder(record, index):
        if index < len(responses):
            return responses[index]
        return then(record, index) if then else None
    return responder


def error_response(status, message="error", headers=None):
    body = json.dumps({"detail": {"status": status, "message": message}}).encode()
    merged = {"Content-Type": "application/json"}
    merged.update(headers or {})
    return Response(status=status, headers=merged, body=body)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeSpeech/1"

    def log_message(self, format, *args):  # keep test output clean
        pass

    def _serve(self):
        self.server.fake._handle(self)

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = do_HEAD = _serve


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True


class FakeService:
    def __init__(self, responder=None, duration_ms=default_duration_ms, host="127.0.0.1"):
        self.responder = responder
        self.duration_ms = duration_ms
        self._host = host
        self._lock = threading.Lock()
        self._requests = []
        self._errors = []
        self._in_flight = 0
        self._max_in_flight = 0
        self._account_reads = 0
        # What GET /v1/user/subscription answers: a generous account by default, so the credit
        # check before a run never stands in the way; None answers 404. Reads of it are counted
        # apart from the speech requests.
        self.subscription = {"tier": "creator", "character_count": 0,
                             "character_limit": 10_000_000, "can_extend_character_limit": False}
        self._server = None
        self._thread = None

    # lifecycle -------------------------------------------------------------------------------
    def start(self):
        if self._server is None:
            self._server = _Server((self._host, 0), _Handler)
            self._server.fake = self
            self._thread = threading.Thread(target=self._server.serve_forever,
                                            kwargs={"poll_interval": 0.05}, daemon=True)
            self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=5)
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # observation -----------------------------------------------------------------------------
    @property
    def port(self):
        if self._server is None:
            raise RuntimeError("FakeService is not started")
        return self._server.server_address[1]

    @property
    def url(self):
        return "http://%s:%d" % (self._host, self.port)

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    @property
    def request_count(self):
        with self._lock:
            return len(self._requests)

    @property
    def account_reads(self):
        with self._lock:
            return self._account_reads

    @property
    def max_in_flight(self):
        with self._lock:
            return self._max_in_flight

    @property
    def errors(self):
        with self._lock:
            return list(self._errors)

    def reset(self):
        with self._lock:
            self._requests.clear()
            self._errors.clear()
            self._max_in_flight = self._in_flight

    def expected_duration_ms(self, text):
        return self.duration_ms(text)

    def default_response(self, record):
        pcm = pcm_tone(self.duration_ms(record.text or ""))
        if (record.output_format or "").lower().startswith("mp3"):
            return Response(headers={"Content-Type": "audio/mpeg"}, body=mp3_from_pcm(pcm))
        return Response(headers={"Content-Type": "audio/pcm"}, body=pcm)

    # serving ---------------------------------------------------------------------------------
    def _handle(self, handler):
        if handler.command == "GET" and urllib.parse.urlsplit(handler.path).path == \
                "/v1/user/subscription":
            self._answer_subscription(handler)
            return
        length = int(handler.headers.get("Content-Length") or 0)
        body = handler.rfile.read(length) if length > 0 else b""
        parsed = urllib.parse.urlsplit(handler.path)
        query = {k: v[0] for k, v in
                 urllib.parse.parse_qs(parsed.query, keep_blank_values=True).items()}
        try:
            parsed_json = json.loads(body.decode("utf-8")) if body else None
        except ValueError:
            parsed_json = None
        with self._lock:
            record = RequestRecord(index=len(self._requests), method=handler.command,
                                   path=parsed.path, query_string=parsed.query, query=query,
                                   headers={k.lower(): v for k, v in handler.headers.items()},
                                   body=body, json=parsed_json, received_at=time.monotonic())
            self._requests.append(record)
            self._in_flight += 1
            self._max_in_flight = max(self._max_in_flight, self._in_flight)
        answered = []
        try:
            self._answer(handler, record, lambda: answered.append(self._leave_flight()))
        finally:
            if not answered:
                self._leave_flight()

    def _leave_flight(self):
        with self._lock:
            self._in_flight -= 1

    def _answer_subscription(self, handler):
        with self._lock:
            self._account_reads += 1
            account = self.subscription
        body = json.dumps(account).encode() if account is not None else b'{"detail":"no"}'
        handler.send_response(200 if account is not None else 404)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def _answer(self, handler, record, leave_flight):
        try:
            responder = self.responder
            response = responder(record, record.index) if responder else None
            if response is None:
                response = self.default_response(record)
        except Exception as error:  # surfaced through .errors; the client sees a 500
            with self._lock:
                self._errors.append(error)
            response = Response(status=500, headers={"Content-Type": "text/plain"},
                                body=("responder failed: %r" % error).encode())
        if response.delay_seconds > 0:
            time.sleep(response.delay_seconds)
        # Out of flight before the first byte goes back: a client that reads the answer and
        # sends its next request at once must not find this one still counted.
        leave_flight()
        if response.drop_connection:
            handler.close_connection = True
            try:
                handler.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        try:
            handler.send_response(response.status)
            names = {name.lower() for name in response.headers}
            for name, value in response.headers.items():
                handler.send_header(name, str(value))
            if "content-length" not in names:
                handler.send_header("Content-Length", str(len(response.body)))
            handler.end_headers()
            if response.body and handler.command != "HEAD":
                handler.wfile.write(response.body)
        except OSError:  # the client gave up, for example on its own time-out
            handler.close_connection = True


# ---------------------------------------------------------------------------------------------
# Test base


class LyraneTestCase(unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="lyrane-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write_text(self, name, text):
        target = self.path(name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w", encoding="utf-8") as out:
            out.write(text)
        return target

    def start_service(self, **kwargs):
        service = FakeService(**kwargs).start()
        self.addCleanup(service.stop)
        return service

    def service_env(self, service, api_key="test-key"):
        return {"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": api_key}

    def run_lyrane(self, args, **kwargs):
        kwargs.setdefault("home", self.home)
        kwargs.setdefault("cwd", self.tmp)
        return run_lyrane(args, **kwargs)

    def assertExitStatus(self, result, status):
        self.assertEqual(result.returncode, status,
                         "exit status %d, expected %d\n--- stdout ---\n%s--- stderr ---\n%s"
                         % (result.returncode, status, result.stdout, result.stderr))
