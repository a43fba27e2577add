"""A headless Chromium driven through the DevTools protocol, and a `lyrane --serve` session
(standard library only; shared by the live review tests and bench/live-review-bench.py).

Browser(user_data_dir)
    Chromium (Debian's `chromium`) over --remote-debugging-pipe: commands go in on its fd 3 and
    answers come back on its fd 4, each message JSON ended by a NUL byte, so no WebSocket is
    needed. open(url) makes one page; evaluate(expression) its value (promises awaited);
    wait_for(expression, timeout) until the value is truthy; click(selector) a real mouse click
    at the element's centre; screenshot(path, width, height); close().

lyrane_env(home, extra) -> the environment run_lyrane gives lyrane, `extra` laid over it.

ServedRun(args, env, cwd)
    lyrane with --serve in `args`, its standard error read on a thread: address (after the
    "Review at" line), port, token, stderr_text(), wait_for_line(text), stop(signal) -> status.
"""

import base64
import fcntl
import json
import os
import re
import signal
import subprocess
import threading
import time

from support import _CLEARED_VARIABLES, lyrane_bin

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--mute-audio", "--hide-scrollbars",
                  "--remote-debugging-pipe"]


def _above_four(fd):
    """The pipe end moved above fd 4, so that the browser's fds 3 and 4 can be set from it."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved


class Browser:
    def __init__(self, user_data_dir, binary="chromium"):
        to_browser, self._commands = map(_above_four, os.pipe())
        self._answers, from_browser = map(_above_four, os.pipe())
        # The browser reads its fd 3 and writes its fd 4 (bash, as dash cannot name fds over 9).
        self.process = subprocess.Popen(
            ["bash", "-c", 'exec "$0" "$@" 3<&%d 4>&%d' % (to_browser, from_browser), binary,
             "--user-data-dir=" + user_data_dir] + CHROMIUM_FLAGS + ["about:blank"],
            pass_fds=(to_browser, from_browser), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._next_id = 0
        self._results = {}
        self._ready = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.session = None

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self._answers, 1 << 16)
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            for message in messages:
                answer = json.loads(message)
                if "id" in answer:
                    with self._ready:
                        self._results[answer["id"]] = answer
                        self._ready.notify_all()
        with self._ready:
            self._results[None] = {"error": {"message": "the browser closed its pipe"}}
            self._ready.notify_all()

    def send(self, method, timeout=60, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self._ready:
            while self._next_id not in self._results and None not in self._results:
                if not self._ready.wait(max(0.0, deadline - time.monotonic())):
                    raise TimeoutError("no answer to %s" % method)
            answer = self._results.pop(self._next_id, None) or self._results[None]
        if "error" in answer:
            raise RuntimeError("%s: %s" % (method, answer["error"]))
        return answer["result"]

    def open(self, url, width=1400, height=1000):
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        self.send("Page.navigate", url=url)
        self.wait_for("document.readyState === 'complete' && location.href !== 'about:blank'")

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True, userGesture=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise TimeoutError("still false after %d s: %s" % (timeout, expression))
            time.sleep(0.05)

    def click(self, selector):
        x, y = self.evaluate(
            "(() => { const e = document.querySelector(%s); e.scrollIntoView({block: 'center'});"
            " const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2];"
            " })()" % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def screenshot(self, path):
        self.evaluate("window.scrollTo(0, 0)")
        data = self.send("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self.send("Browser.close", timeout=10)
        except (RuntimeError, TimeoutError, OSError):
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for fd in (self._commands, self._answers):
            try:
                os.close(fd)
            except OSError:
                pass


def lyrane_env(home, extra):
    """The environment run_lyrane gives lyrane, with `extra` laid over it."""
    env = {k: v for k, v in os.environ.items() if k not in _CLEARED_VARIABLES}
    os.makedirs(os.path.join(home, "tmp"), exist_ok=True)
    env.update({"HOME": home, "TMPDIR": os.path.join(home, "tmp"), "LC_ALL": "C.UTF-8"})
    env.update(extra)
    return env


class ServedRun:
    ADDRESS = re.compile(r"^Review at (http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)); "
                         r"press Ctrl-C to stop$", re.M)

    def __init__(self, args, env, cwd, timeout=300):
        self.process = subprocess.Popen([lyrane_bin()] + [str(a) for a in args], env=env,
                                        cwd=cwd, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self._lines = []
        self._changed = threading.Condition()
        # Read all along: a session says as much as its commands would, and a full pipe would
        # stop it.
        threading.Thread(target=self._read, daemon=True).start()
        found = self.wait_for_line(self.ADDRESS, timeout)
        self.address, self.port, self.token = found.group(1), int(found.group(2)), found.group(3)

    def _read(self):
        for line in self.process.stderr:
            with self._changed:
                self._lines.append(line)
                self._changed.notify_all()
        with self._changed:
            self._lines.append(None)
            self._changed.notify_all()

    def stderr_text(self):
        with self._changed:
            return "".join(line for line in self._lines if line is not None)

    def wait_for_line(self, pattern, timeout=120):
        """The first match of `pattern` (a string or compiled expression) in standard error."""
        pattern = re.compile(re.escape(pattern)) if isinstance(pattern, str) else pattern
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = pattern.search("".join(l for l in self._lines if l is not None))
                if found:
                    return found
                if None in self._lines or not self._changed.wait(deadline - time.monotonic()):
                    raise AssertionError("no %r in:\n%s" % (pattern.pattern, "".join(
                        l for l in self._lines if l is not None)))

    def stop(self, how=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(how)
        status = self.process.wait(timeout=60)
        with self._changed:
            while None not in self._lines:
                self._changed.wait(10)
        self.process.stderr.close()
        return status
