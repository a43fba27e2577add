#!/usr/bin/env python3
"""Write a WebVTT (or SRT) file with N cues (default 100000) for timing the parser and the listing."""

import argparse
import sys

WORDS = ("the quick brown fox jumps over a lazy dog while seven wizards "
         "quietly box jugs of liquor near the old harbour").split()


def timestamp(ms, separator="."):
    hours, ms = divmod(ms, 3600000)
    minutes, ms = divmod(ms, 60000)
    seconds, ms = divmod(ms, 1000)
    return "%02d:%02d:%02d%s%03d" % (hours, minutes, seconds, separator, ms)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", help="file to write, '-' for standard output")
    parser.add_argument("-n", "--cues", type=int, default=100000, help="number of cues")
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF")
    parser.add_argument("--srt", action="store_true",
                        help="write SRT (comma timestamps, no header, no voice spans)")
    args = parser.parse_args()
    if args.cues < 0:
        parser.error("--cues must not be negative")

    newline = "\r\n" if args.crlf else "\n"
    lines = [] if args.srt else ["WEBVTT - generated benchmark file", ""]
    separator = "," if args.srt else "."
    for i in range(args.cues):
        # 3 s per cue keeps 100000 cues under 99 hours.
        start = i * 3000
        words = [WORDS[(i * 7 + k) % len(WORDS)] for k in range(4 + i % 9)]
        lines.append(str(i + 1))
        settings = " align:start line:0" if i % 5 == 0 and not args.srt else ""
        lines.append("%s --> %s%s" % (timestamp(start, separator),
                                      timestamp(start + 2500, separator), settings))
        if i % 3 == 0 and args.srt:
            lines.append("<i>%s</i>" % " ".join(words[:3]))
            lines.append(" ".join(words[3:]) or "again")
        elif i % 3 == 0:
            lines.append("<v Speaker %d>%s" % (i % 4, " ".join(words[:3])))
            lines.append(" ".join(words[3:]) or "again")
        else:
            lines.append(" ".join(words))
        lines.append("")
    text = newline.join(lines) + newline

    if args.output == "-":
        sys.stdout.write(text)
    else:
        with open(args.output, "w", encoding="utf-8", newline="") as out:
            out.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
