#!/bin/sh
# Streams a generated two-hour, 1500-clip timeline to WAV and MP3 and prints wall time and
# peak RSS; then times the lame command on the same audio for comparison.
# Usage: bench/timeline-bench.sh [BUILD_DIR] [CLIPS] [--mix]
# BUILD_DIR must hold a built lyrane_audio (default: build). Needs ~5 GiB of RAM and
# ~1 GiB of disk in $TMPDIR.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
clips=${2:-1500}
extra=${3:-}
lib=$(find "$build" -name liblyrane_audio.a | head -n 1)
[ -n "$lib" ] || { echo "no liblyrane_audio.a under $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

c++ -std=c++17 -O2 -fPIC -I"$here/../src" -I"$here/../tests" "$here/timeline-bench.cpp" "$lib" \
    $(pkg-config --cflags --libs Qt6Core libavformat libavcodec libavutil libswresample rubberband libebur128) \
    -o "$work/timeline-bench"

"$work/timeline-bench" "$work" "$clips" $extra

if command -v lame >/dev/null 2>&1; then
    start=$(date +%s.%N)
    lame --quiet -b 128 -m m "$work/timeline.wav" "$work/lame.mp3"
    end=$(date +%s.%N)
    printf '%-28s %8.2f s\n' "lame -b 128 -m m (same WAV)" "$(echo "$end - $start" | bc)"
fi
