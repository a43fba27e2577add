#!/usr/bin/env python3
"""Retake-to-row-updated on the page served live: modes-bench.py's two-hour corpus of 1,500
cached WAV clips narrated with --serve (WAV output), the page open in headless Chromium, and
cues across the narration retaken one after another through lyrane-speechd --latency 0.

Each round clicks a cue's Retake button and times, in the page, from the click to the row
reading its new take (both taken with performance.now(), so the browser's own clock); the
service's answer time comes from lyrane-speechd's request log. At the end the output is
compared byte for byte with a fresh run of the same choices.

Usage: bench/live-review-bench.py [--lyrane BIN] [--speechd BIN] [--rounds N] [--work DIR]
Run by hand; builds nothing.
"""

import argparse
import importlib.machinery
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "e2e"))
mb = importlib.machinery.SourceFileLoader("modes_bench",
                                         os.path.join(HERE, "modes-bench.py")).load_module()
from benchlib import Speechd, default_binary  # noqa: E402
from live_support import Browser, ServedRun  # noqa: E402

WATCH = """(() => {
  window.benchClicked = null; window.benchUpdated = null;
  const cue = %d, expected = %s;
  document.addEventListener('click', () => { window.benchClicked = performance.now(); },
                            {capture: true, once: true});
  new MutationObserver((changes, observer) => {
    const row = document.getElementById('cue-' + cue);
    const failure = row && row.querySelector('.failure');
    if (failure || (row && row.querySelector('td.take').textContent.startsWith(expected))) {
      window.benchUpdated = performance.now();
      window.benchFailure = failure ? failure.textContent : null;
      observer.disconnect();
    }
  }).observe(document.querySelector('#cues tbody'), {childList: true});
})()"""


def answer_ms(log_path):
    with open(log_path) as log:
        times = re.findall(r"^POST \S+ 200 (\d+) ms", log.read(), re.M)
    return int(times[-1]) if times else None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--work", help="directory for the corpus (default: a new one, removed)")
    args = parser.parse_args()
    if not shutil.which("chromium"):
        sys.exit("live-review-bench: needs chromium (scripts/install-deps)")
    owned = args.work is None
    work = tempfile.mkdtemp(prefix="lyrane-live.") if owned else os.path.abspath(args.work)
    try:
        bench(args, work)
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def bench(args, work):
    print("load before: %.2f %.2f %.2f (1, 5, 15 min), %d cores" % (os.getloadavg() +
                                                                      (os.cpu_count(),)))
    corpus = os.path.join(work, "corpus")
    if not os.path.exists(os.path.join(corpus, "narration.vtt")):
        os.makedirs(corpus, exist_ok=True)
        mb.build_clips(corpus, 1500, 7200, 0)
    vtt, cache = os.path.join(corpus, "narration.vtt"), os.path.join(corpus, "cache")
    service = Speechd(os.path.abspath(args.speechd), os.path.join(work, "speechd.log"),
                      "--latency", "0")
    env = {k: v for k, v in os.environ.items()
           if k not in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_FORMAT")}
    env.update({"LYRANE_API_URL": service.url, "ELEVENLABS_API_KEY": "live-bench",
                "HOME": work, "LC_ALL": "C.UTF-8"})
    os.environ["LYRANE_BIN"] = os.path.abspath(args.lyrane)
    output = os.path.join(work, "out.wav")
    run = ServedRun(["--vtt", vtt, "--temp-dir", cache, "--output", output, "--serve"], env,
                    work, timeout=600)
    browser = Browser(os.path.join(work, "profile"))
    figures = []
    try:
        browser.open(run.address)
        # The last cues are left alone: a longer take there would outlast the output.
        for cue in [1 + (i * 1399) // max(1, args.rounds - 1) for i in range(args.rounds)]:
            take = browser.evaluate("document.querySelector('#cue-%d td.take').textContent" % cue)
            takes = int(re.match(r"take \d+ of (\d+)", take).group(1))
            browser.evaluate(WATCH % (cue, '"take %d of %d"' % (takes + 1, takes + 1)))
            browser.click("#cue-%d button[data-action=retake]" % cue)
            browser.wait_for("window.benchUpdated !== null", timeout=120)
            ms = browser.evaluate("window.benchUpdated - window.benchClicked")
            failure = browser.evaluate("window.benchFailure")
            if failure:
                sys.exit("live-review-bench: the retake of cue %d failed: %s" % (cue, failure))
            service_ms = answer_ms(service.log_path)
            figures.append((ms, service_ms))
            print("cue %4d: click to row %6.0f ms, of which the service answered in %s ms" %
                  (cue, ms, service_ms))
        served = run.stderr_text().split("Review at ", 1)[1]
        rewrites = re.findall(r"^Rewrote (\d+) of 1500 cues' spans", served, re.M)
        print("patched writes: %d of %d rounds (%s)" % (len(rewrites), args.rounds,
                                                        ", ".join(rewrites)))
    finally:
        browser.close()
        run.stop()
        service.stop()
    fresh = os.path.join(work, "fresh.wav")
    done = subprocess.run([os.path.abspath(args.lyrane), "--vtt", vtt, "--temp-dir", cache,
                           "--output", fresh], env=env, capture_output=True, text=True)
    same = done.returncode == 0 and filecmp(output, fresh)
    print("output equal to a fresh run of the same choices: %s" % ("yes" if same else "NO"))
    totals = [ms for ms, _ in figures]
    without = [ms - (s or 0) for ms, s in figures]
    print("click to row: median %.0f ms, max %.0f ms; less the service's answer: median %.0f ms, "
          "max %.0f ms (target 3,000 ms)" % (statistics.median(totals), max(totals),
                                            statistics.median(without), max(without)))
    print("load after: %.2f %.2f %.2f" % os.getloadavg())


def filecmp(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


if __name__ == "__main__":
    main()
