#!/bin/sh
# The MP3 writer on every core against the single encoder: a generated two-hour, 1,500-cue
# speech-like narration written both ways; times, ratio, seams and fall-backs, decoded lengths
# (ffmpeg, lame --decode) and the difference around the seams.
# Usage: bench/mp3-bench.sh [BUILD_DIR] [HOURS] [THREADS] [--jobs-check] [--room-tone]
# BUILD_DIR must hold a built lyrane_audio (default: build). Needs ~1.5 GiB of disk in $TMPDIR.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
hours=${2:-2}
threads=${3:-2}
shift $(( $# < 3 ? $# : 3 ))
lib=$(find "$build" -name liblyrane_audio.a | head -n 1)
[ -n "$lib" ] || { echo "no liblyrane_audio.a under $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

c++ -std=c++17 -O2 -fPIC -I"$here/../src" "$here/mp3-bench.cpp" "$lib" \
    $(pkg-config --cflags --libs Qt6Core libavformat libavcodec libavutil libswresample rubberband libebur128) \
    -o "$work/mp3-bench"

"$work/mp3-bench" "$work" "$hours" "$threads" "$@"
