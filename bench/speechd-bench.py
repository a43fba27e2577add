#!/usr/bin/env python3
"""Speed of lyrane-speechd: audio seconds produced per wall second, on one core.

Starts the service pinned to one CPU, sends a set of sentences one after another for each
output format, and prints the realtime factor. Target: at least 20 for every format.

usage: bench/speechd-bench.py [path/to/lyrane-speechd] [--rounds N]
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

SENTENCES = [
    "Good evening, and welcome to the programme.",
    "The committee will meet again on the third of March to review the budget.",
    "She opened the window and listened to the rain falling on the empty street.",
    "Nobody expected the results to arrive so quickly.",
    "Turn left at the second junction, then follow the signs to the harbour.",
    "In 1969, more than six hundred million people watched the landing.",
    "Please keep your belongings with you at all times.",
    "It was the kind of silence that makes you wonder what you have missed.",
    "The new bridge is four hundred and twelve metres long.",
    "Thank you for listening; we will be back after the break.",
    "He laughed, shook his head, and walked slowly back to the car.",
    "Prices rose by two point four percent over the last twelve months.",
]
VOICES = ["EXAVITQu4vr4xnSDxMaL", "pNInz6obpgDQGcFmaJgB", "21m00Tcm4TlvDq8ikWAM",
          "ErXwobaYiN019PkySvjV"]
FORMATS = ["pcm_44100", "pcm_16000", "mp3_44100", "mp3_44100_64"]


def post(url, voice, output_format, text):
    body = json.dumps({"text": text, "model_id": "eleven_multilingual_v2"}).encode()
    request = urllib.request.Request(
        f"{url}/v1/text-to-speech/{voice}?output_format={output_format}", data=body,
        method="POST", headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=120) as reply:
        return reply.read()


def main():
    parser = argparse.ArgumentParser()
    default_bin = os.environ.get("LYRANE_SPEECHD_BIN") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "lyrane-speechd")
    parser.add_argument("binary", nargs="?", default=default_bin)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cpu", type=int, default=min(os.sched_getaffinity(0)))
    args = parser.parse_args()

    service = subprocess.Popen(
        [args.binary], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        preexec_fn=lambda: os.sched_setaffinity(0, {args.cpu}))
    url = service.stdout.readline().strip()
    if not url:
        sys.exit("lyrane-speechd did not start")
    try:
        # Audio length of each request, from the PCM answer at a known rate.
        seconds = {}
        for voice in VOICES:
            for text in SENTENCES:
                seconds[voice, text] = len(post(url, voice, "pcm_22050", text)) / 2 / 22050

        print(f"lyrane-speechd on CPU {args.cpu}, {len(SENTENCES) * len(VOICES)} sentences "
              f"x {args.rounds} rounds, sequential")
        worst = None
        for output_format in FORMATS:
            audio = 0.0
            started = time.monotonic()
            for _ in range(args.rounds):
                for voice in VOICES:
                    for text in SENTENCES:
                        post(url, voice, output_format, text)
                        audio += seconds[voice, text]
            wall = time.monotonic() - started
            factor = audio / wall
            worst = factor if worst is None else min(worst, factor)
            print(f"{output_format:>13}: {audio:7.1f} s audio in {wall:6.2f} s wall = "
                  f"{factor:6.1f} x realtime")
        print(f"slowest format: {worst:.1f} x realtime (target 20)")
    finally:
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=10)


if __name__ == "__main__":
    main()
