"""The review page served live (--serve): in headless Chromium a retake and a choice change the
row, the timeline, the totals and the output in place, the output then equal to a fresh run of
the same choices; a failed retake shows its reason; whatever is not the page's own is refused
over plain HTTP; and --serve's own refusals."""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import time
import unittest

from live_support import Browser, ServedRun, lyrane_env
from support import (LyraneTestCase, Response, error_response, free_port, pcm_tone,
                     wav_duration_ms, write_vtt)

CUES = [(0, 1500, "First line."), (2000, 3500, "Second line."), (4000, 5500, "Third line.")]
TAKE2_SEED = 0x9E3779B9  # the seed of take 2 without --seed


def longer_takes(record, index):
    """Take 1 lasts 700 ms, a later take (sent with a seed) 1200 ms at another pitch."""
    seed = (record.json or {}).get("seed")
    tone = pcm_tone(1200, freq=300 + seed % 400) if seed else pcm_tone(700)
    return Response(headers={"Content-Type": "audio/pcm"}, body=tone)


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


class LiveReviewCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        write_vtt(self.path("talk.vtt"), CUES)
        self.service = self.start_service(responder=longer_takes)
        self.env = self.service_env(self.service)

    def serve(self, *serve):
        run = ServedRun(["--vtt", "talk.vtt", "--temp-dir", "cache", "--output", "out.wav"] +
                        list(serve or ["--serve"]), lyrane_env(self.home, self.env), self.tmp)
        self.addCleanup(run.stop)
        return run


@unittest.skipUnless(shutil.which("chromium"), "needs chromium (scripts/install-deps)")
class InTheBrowser(LiveReviewCase):
    def test_retake_and_choose_again_in_the_page(self):
        run = self.serve()
        first = read_bytes(self.path("out.wav"))
        browser = Browser(self.path("profile"))
        self.addCleanup(browser.close)
        browser.open(run.address)
        take = "document.querySelector('#cue-2 td.take').textContent"
        clip_width = "document.querySelector('a[href=\"#cue-2\"] rect').getAttribute('width')"
        self.assertEqual(browser.evaluate(take), "take 1 of 1")
        width = browser.evaluate(clip_width)
        self.service.reset()

        browser.click("#cue-2 button[data-action=retake]")
        browser.wait_for(take + " === 'take 2 of 2Use take 1'")
        self.assertEqual([(r.text, r.json.get("seed")) for r in self.service.requests],
                         [("Second line.", TAKE2_SEED)])
        run.wait_for_line("Cue 2 now uses take 2 of 2\n")
        run.wait_for_line("Rewrote 1 of 3 cues' spans in out.wav\n")
        self.assertNotEqual(browser.evaluate(clip_width), width)
        self.assertIn("<dt>Characters billed</dt><dd>46</dd>",
                      browser.evaluate("document.getElementById('settings').outerHTML"))
        retaken = read_bytes(self.path("out.wav"))
        fresh = self.run_lyrane(["--vtt", "talk.vtt", "--temp-dir", "cache", "--take", "2=2",
                                 "--output", "fresh.wav"], env=self.env)
        self.assertExitStatus(fresh, 0)
        self.assertEqual(retaken, read_bytes(self.path("fresh.wav")))
        self.assertNotEqual(retaken, first)
        shot = os.environ.get("LYRANE_LIVE_SCREENSHOT")
        if shot:
            browser.screenshot(shot)

        browser.click("#cue-2 button[data-take='1']")
        browser.wait_for(take + " === 'take 1 of 2Use take 2'")
        run.wait_for_line("Cue 2 now uses take 1 of 2\n")
        self.assertEqual(read_bytes(self.path("out.wav")), first)
        self.assertEqual(browser.evaluate(clip_width), width)
        self.assertEqual(self.service.request_count, 1)

        # A clip's player loads the clip; the narration plays from a cue's start.
        source, duration = browser.evaluate(
            "new Promise(done => { const a = document.querySelector('#cue-1 audio');"
            " a.onloadedmetadata = () => done([a.getAttribute('src'), a.duration]);"
            " a.onerror = () => done([a.getAttribute('src'), -1]); a.preload = 'auto'; a.load(); })")
        clip = self.path("cache", source.rsplit("/", 1)[-1])
        self.assertAlmostEqual(duration, wav_duration_ms(clip) / 1000, delta=0.01)
        browser.click("#cue-3 button[data-action=play-from]")
        browser.wait_for("(() => { const n = document.getElementById('narration');"
                         " return !n.paused && n.currentTime >= 4.0; })()")

        self.assertEqual(run.stop(), 0)
        # The session's whole bill, last; the fake service sends no costs, so they are counted.
        self.assertRegex(run.stderr_text(),
                         r"\nBilled: 46 characters for 4 new clips \(estimated\)\n$")


class OverPlainHttp(LiveReviewCase):
    def request(self, port, method, path, headers):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        headers = dict(headers)
        headers.setdefault("Host", "127.0.0.1:%d" % port)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer.status, answer, body

    def test_only_the_pages_own_requests_pass(self):
        port = free_port()
        run = self.serve("--serve", str(port))
        self.assertEqual(run.port, port)
        token, origin = run.token, "http://127.0.0.1:%d" % port
        self.service.reset()
        # clang-format off
        rows = [
            ("no token", "GET", "/", {}, 403),
            ("wrong token", "GET", "/?token=" + "0" * 32, {}, 403),
            ("short token", "GET", "/?token=" + token[:8], {}, 403),
            ("wrong cookie", "GET", "/", {"Cookie": "lyrane-%d=%s" % (port, "0" * 32)}, 403),
            ("another port's cookie", "GET", "/", {"Cookie": "lyrane-1=" + token}, 403),
            ("localhost", "GET", "/?token=" + token, {"Host": "localhost:%d" % port}, 403),
            ("rebound name", "GET", "/?token=" + token, {"Host": "attacker.example"}, 403),
            ("cross-origin action", "POST", "/cues/1/retake?token=" + token,
             {"Origin": "http://attacker.example"}, 403),
            ("action without origin", "POST", "/cues/1/retake?token=" + token, {}, 403),
            ("action as GET", "GET", "/cues/1/retake?token=" + token, {}, 404),
            ("dot segments", "GET", "/clips/../narration.wav?token=" + token, {}, 404),
            ("encoded slash", "GET", "/clips/..%2Fnarration.wav?token=" + token, {}, 404),
            ("encoded dots", "GET", "/clips/%2e%2e/narration.wav?token=" + token, {}, 404),
            ("the run's input", "GET", "/clips/talk.vtt?token=" + token, {}, 404),
            ("no such cue", "POST", "/cues/4/retake?token=" + token, {"Origin": origin}, 404),
            ("no such take", "POST", "/cues/1/take/0?token=" + token, {"Origin": origin}, 404),
        ]
        # clang-format on
        for name, method, path, headers, status in rows:
            with self.subTest(name):
                got, _, body = self.request(port, method, path, headers)
                self.assertEqual((got, body), (status, b""))
        self.assertEqual(self.service.request_count, 0)

        # The page's own: the address sets the cookie, which then opens the page and its files.
        status, answer, page = self.request(port, "GET", "/?token=" + token, {})
        self.assertEqual(status, 200)
        cookie = answer.getheader("Set-Cookie")
        self.assertEqual(set(cookie.split("; ")[1:]), {"Path=/", "HttpOnly", "SameSite=Strict"})
        with_cookie = {"Cookie": cookie.split(";")[0]}
        self.assertEqual(self.request(port, "GET", "/", with_cookie)[0], 200)
        clip = re.search(rb'src="(/clips/[0-9a-f]+\.wav)"', page).group(1).decode()
        status, answer, part = self.request(port, "GET", clip, dict(with_cookie, Range="bytes=4-11"))
        self.assertEqual((status, part), (206, read_bytes(self.path("cache", clip[7:]))[4:12]))
        self.assertEqual(self.request(port, "GET", "/narration.wav", with_cookie)[2],
                         read_bytes(self.path("out.wav")))

        # A retake the service refuses: its reason in the row, nothing else changed.
        before = read_bytes(self.path("out.wav"))
        refusal = error_response(400, "voice refused")
        refusal.delay_seconds = 1.0
        self.service.responder = lambda record, index: refusal
        action = dict(with_cookie, Origin=origin)
        self.assertEqual(self.request(port, "POST", "/cues/1/retake", action)[0], 202)
        self.assertEqual(self.request(port, "POST", "/cues/1/take/1", action)[0], 409)
        row = self.failed_row(port, with_cookie, 1)
        self.assertRegex(row, r'<span class="failure">[^<]*voice refused[^<]*</span>')
        self.assertIn("take 1 of 1", row)
        self.assertEqual(read_bytes(self.path("out.wav")), before)

        # A new take too long for the output fails at the mix: the choice it made is put back.
        self.service.responder = lambda record, index: Response(
            headers={"Content-Type": "audio/pcm"}, body=pcm_tone(3000))
        self.assertEqual(self.request(port, "POST", "/cues/3/retake", action)[0], 202)
        row = self.failed_row(port, with_cookie, 3)
        self.assertIn("exceeds output duration", row)
        self.assertIn("take 1 of 1", row)
        self.assertEqual(read_bytes(self.path("out.wav")), before)
        self.assertEqual(run.stop(signal.SIGTERM), 0)
        again = self.run_lyrane(["--vtt", "talk.vtt", "--temp-dir", "cache", "--output", "out.wav"],
                                env=self.env)
        self.assertExitStatus(again, 0)
        self.assertEqual(read_bytes(self.path("out.wav")), before)

    def failed_row(self, port, headers, cue):
        row, deadline = "", time.monotonic() + 60
        while 'class="failure"' not in row and time.monotonic() < deadline:
            changes = json.loads(self.request(port, "GET", "/changes?after=1", headers)[2])
            row = "".join(r["html"] for r in changes["rows"] if r["cue"] == cue)
        return row


class Refusals(LiveReviewCase):
    def test_serve_is_refused_where_it_cannot_work(self):
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        self.addCleanup(busy.close)
        vtt = ["--vtt", "talk.vtt", "--temp-dir", "cache", "--output", "out.wav"]
        port_refusal = "--serve must be a port number between 0 and 65535\n"
        # clang-format off
        rows = [
            (["--say", "Hello", "--output", "out.wav", "--serve"],
             "--serve is only supported with --vtt\n"),
            (vtt + ["--dry-run", "--serve"], "--serve cannot be used with --dry-run\n"),
            (vtt + ["--no-padding", "--serve"], "--serve cannot be used with --no-padding\n"),
            (vtt + ["--serve", "65536"], port_refusal),
            (vtt + ["--serve=eighty"], port_refusal),
            (vtt + ["--serve", str(busy.getsockname()[1])],
             "Cannot serve the review page on 127.0.0.1 port %d: " % busy.getsockname()[1]),
        ]
        # clang-format on
        for args, message in rows:
            with self.subTest(args=args[6:]):
                result = self.run_lyrane(args, env=self.env)
                self.assertExitStatus(result, 1)
                self.assertTrue(result.stderr.startswith(message), result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1)
                self.assertEqual(self.service.request_count, 0)
                self.assertFalse(os.path.exists(self.path("out.wav")))


if __name__ == "__main__":
    unittest.main()
