#!/usr/bin/env python3
"""Writes small seed inputs for the fuzz targets: make_seeds.py DIR makes DIR/vtt, DIR/wav,
DIR/mp3, DIR/dapt and DIR/table. Everything is generated here (MP3 frames by the ffmpeg command when installed)."""

import math
import os
import shutil
import struct
import subprocess
import sys


def tone(count, rate, channels=1):
    values = []
    for i in range(count):
        v = int(12000 * math.sin(2 * math.pi * 440 * i / rate))
        values.extend([v] * channels)
    return struct.pack("<%dh" % len(values), *values)


def wav(channels, rate, data, extra_chunks=b""):
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * 2 * channels, 2 * channels, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + extra_chunks
    body += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


VTT = {
    "plain.vtt": "WEBVTT\n\n00:00:00.000 --> 00:00:01.500\nHello there.\n\n"
                 "00:00:02.000 --> 00:00:04.000\n<v Ann>Two <i>lines</i>\nof text &amp; more\n",
    "ids-and-notes.vtt": "\ufeffWEBVTT - title\n\nNOTE a note\n\ncue-1\n00:01.000 --> 00:02.000 "
                         "align:start position:10%\nShort form\n\nSTYLE\n::cue { color: red }\n",
    "srt.srt": "1\r\n00:00:01,000 --> 00:00:02,500\r\nFirst\r\n\r\n2\r\n00:00:03,000 --> "
               "00:00:04,000\r\nSecond\r\n",
    "hours.vtt": "WEBVTT\n\n99:59:59.999 --> 100:00:00.000\nLate\n\n00:00:00.000 --> "
                 "00:00:00.000\nEmpty span\n",
    "editor.srt": "1\r\n00:01:39 --> 00:01:41,04 X1:40\r\n\\h\\hA{Y:i}\\Nb {\\an8}<3 x < y\r\n\r\n"
                  "untimed\r\n\r\n2\r\n00:02:12.16 --> 00:02:15.20\r\n<ruby>a<rt>b</rt></ruby>"
                  "&#13;&amp; <c It's\r\n",
    "windows-1252.srt": "1\r\n00:00:01,000 --> 00:00:02,000\r\nCaf\u00e9 \u201cnoir\u201d "
                        "\u20ac5, \u00e0 l\u2019\u00e9poque\r\n".encode("windows-1252"),
}


TT = ('<tt xmlns="http://www.w3.org/ns/ttml" xmlns:ttp="http://www.w3.org/ns/ttml#parameter" '
      'xmlns:tta="http://www.w3.org/ns/ttml#audio" xmlns:ttm="http://www.w3.org/ns/ttml#metadata" '
      'xmlns:daptm="http://www.w3.org/ns/ttml/profile/dapt#metadata" xml:lang="en" %s>')

DAPT = {
    "plain.ttml": TT % 'ttp:timeBase="media"' + '<head><metadata><ttm:agent type="character" '
                  'xml:id="a"><ttm:name type="alias">Anna</ttm:name></ttm:agent></metadata></head>'
                  '<body><div xml:id="d1" begin="1s" end="00:00:02.500" ttm:agent="a"><p>Hello '
                  '<span begin="0.5s">there</span><br/>&amp; more</p></div></body></tt>',
    "ducked.ttml": TT % 'ttp:frameRate="30" ttp:frameRateMultiplier="1000 1001"' +
                   '<head><metadata><daptm:daptOriginTimecode>00:00:01:00'
                   '</daptm:daptOriginTimecode></metadata></head><body><div begin="60f" end="5s">'
                   '<p><animate begin="0s" end="0.15s" tta:gain="1;0.316" fill="freeze"/>'
                   '<span begin="0.15s" end="2s" xml:space="preserve" tta:speak="fast"><audio '
                   'src="1.wav"/>Two  spaces</span></p><p xml:lang="fr">Non</p></div></body></tt>',
}

TABLE = {
    "timecodes.csv": "In,Out,Text,Speaker\r\n00:00:01;02,00:00:02;00,\"Hello, \"\"you\"\"\nthere\",Anna"
                     "\r\n00:01:00;02,,Next\r\n",
    "clock.tsv": "\ufeffStart\tEnd\tDescription\n00:00:01.500\t00:00:02.000\tA door\n",
}


def mp3_part(channels, rate, seconds):
    done = subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=%d:duration=%g" % (rate, seconds), "-ac", str(channels),
         "-c:a", "libmp3lame", "-b:a", "32k", "-write_xing", "0", "-id3v2_version", "0",
         "-write_id3v1", "0", "-f", "mp3", "pipe:1"], capture_output=True, check=True)
    return done.stdout


def main(root):
    for kind in ("vtt", "wav", "mp3", "dapt", "table"):
        os.makedirs(os.path.join(root, kind), exist_ok=True)

    def put(kind, name, data):
        with open(os.path.join(root, kind, name), "wb") as out:
            out.write(data.encode("utf-8") if isinstance(data, str) else data)

    for name, text in VTT.items():
        put("vtt", name, text)
    for name, text in DAPT.items():
        put("dapt", name, text)
    for name, text in TABLE.items():
        put("table", name, text)
    put("wav", "mono.wav", wav(1, 44100, tone(200, 44100)))
    put("wav", "stereo.wav", wav(2, 22050, tone(100, 22050, 2)))
    put("wav", "list-chunk.wav", wav(1, 16000, tone(50, 16000), b"LIST\x05\0\0\0INFOx\0"))
    put("wav", "short-data.wav", wav(1, 8000, tone(40, 8000))[:-30])
    put("wav", "legacy-pcm.wav", tone(100, 44100))
    if shutil.which("ffmpeg"):
        put("mp3", "mono.mp3", mp3_part(1, 44100, 0.1))
        put("mp3", "stereo-then-mono.mp3", mp3_part(2, 44100, 0.05) + mp3_part(1, 44100, 0.05))
        put("mp3", "rate-change.mp3", mp3_part(1, 22050, 0.05) + mp3_part(2, 48000, 0.05))
    else:
        # Without an encoder: one silent MPEG-1 Layer III frame header and padding.
        put("mp3", "frame-header.mp3", b"\xff\xfb\x90\x64" + bytes(413))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py DIR")
    main(sys.argv[1])
