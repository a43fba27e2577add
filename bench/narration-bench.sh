#!/bin/sh
# Times a whole subtitle run (two hours, 1500 cached clips) to WAV and MP3 beside ffmpeg and
# lame doing the same work; prints wall time, peak memory and the realtime factor.
# Usage: bench/narration-bench.sh [LYRANE_BINARY] [options of narration-bench.py]
# Default binary: build/lyrane. Needs about 2 GB in $TMPDIR. Builds nothing.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=build/lyrane
case "${1:-}" in
    ''|-*) ;;
    *) bin=$1; shift ;;
esac
exec python3 "$here/narration-bench.py" "$bin" "$@"
