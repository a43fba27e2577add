#!/bin/sh
# Reads and writes the audio description exchange formats for a generated two-hour narration
# of 1500 descriptions (DAPT and CSV scripts, stems) and prints wall time and peak RSS.
# Usage: bench/exchange-bench.sh [BUILD_DIR] [DESCRIPTIONS]
# BUILD_DIR must hold built lyrane_audio and lyrane_subtitles (default: build). Needs ~2 GiB of
# disk in $TMPDIR.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
count=${2:-1500}
audio=$(find "$build" -name liblyrane_audio.a | head -n 1)
subtitles=$(find "$build" -name liblyrane_subtitles.a | head -n 1)
[ -n "$audio" ] && [ -n "$subtitles" ] || { echo "no built libraries under $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

c++ -std=c++17 -O2 -fPIC -I"$here/../src" "$here/exchange-bench.cpp" "$subtitles" "$audio" \
    $(pkg-config --cflags --libs Qt6Core uchardet libavformat libavcodec libavutil libswresample rubberband libebur128) \
    -o "$work/exchange-bench"

"$work/exchange-bench" "$work" "$count"
