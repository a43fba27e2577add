#!/usr/bin/env python3
"""Times a lexicon of 10,000 rules applied to a two-hour file of 1,500 cues.

Runs `lyrane --dry-run` (which reads the lexicon, applies it to every cue and its context to
name and price the clips, and lists the spoken texts) with and without the lexicon, a few times
each, and prints the best wall times and their difference: what the lexicon costs in all.
Usage: bench/lexicon-bench.py [LYRANE_BINARY] [RULES] [CUES] [RUNS]. Builds nothing; asks no
service (a dry run reads only the local cache).
"""

import os
import random
import subprocess
import sys
import tempfile
import time

WORDS = ("the quick brown fox jumps over a lazy dog while seven wizards quietly box jugs of "
         "liquor near the old harbour").split()


def timestamp(ms):
    hours, ms = divmod(ms, 3600000)
    minutes, ms = divmod(ms, 60000)
    seconds, ms = divmod(ms, 1000)
    return "%02d:%02d:%02d.%03d" % (hours, minutes, seconds, ms)


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/lyrane"
    rules = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    cues = int(sys.argv[3]) if len(sys.argv) > 3 else 1500
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    rng = random.Random(7)
    terms = ["term%05d" % i for i in range(rules - len(WORDS))] + WORDS
    with tempfile.TemporaryDirectory(prefix="lyrane-lexicon-bench-") as work:
        lexicon = os.path.join(work, "lexicon.txt")
        with open(lexicon, "w", encoding="utf-8") as out:
            for i, term in enumerate(terms):
                out.write("%s\tsaid%d\n" % (term, i))
        vtt = os.path.join(work, "two-hours.vtt")
        step = 2 * 3600 * 1000 // cues
        with open(vtt, "w", encoding="utf-8") as out:
            out.write("WEBVTT\n\n")
            for i in range(cues):
                words = [rng.choice(WORDS if rng.random() < 0.8 else terms) for _ in range(14)]
                out.write("%s --> %s\n%s.\n\n" % (timestamp(i * step), timestamp(i * step + step - 200),
                                                  " ".join(words).capitalize()))
        env = dict(os.environ, ELEVENLABS_API_KEY="bench", LYRANE_API_URL="http://127.0.0.1:9")

        def best(extra):
            times = []
            for _ in range(runs):
                start = time.perf_counter()
                subprocess.run([binary, "--vtt", vtt, "--dry-run", "--temp-dir",
                                os.path.join(work, "cache"), *extra], env=env, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                times.append(time.perf_counter() - start)
            return min(times)

        plain = best([])
        with_lexicon = best(["--lexicon", lexicon])
        print("rules: %d, cues: %d, runs: %d (best of)" % (rules, cues, runs))
        print("dry run without lexicon: %8.3f s" % plain)
        print("dry run with lexicon:    %8.3f s" % with_lexicon)
        print("the lexicon's share:     %8.3f s" % (with_lexicon - plain))


if __name__ == "__main__":
    main()
