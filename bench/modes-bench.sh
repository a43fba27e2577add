#!/bin/sh
# Times a warm-cache narration in each timeline mode (WAV clips, MP3 clips, --autospeed,
# --loudness) beside ffmpeg decoding the same clips; prints wall time and peak memory.
# Usage: bench/modes-bench.sh [LYRANE_BINARY] [options of modes-bench.py]
#   e.g. bench/modes-bench.sh build/lyrane --hours 4 --memory-only
# Default binary: build/lyrane. Needs about 3 GB in $TMPDIR for four hours. Builds nothing.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=build/lyrane
case "${1:-}" in
    ''|-*) ;;
    *) bin=$1; shift ;;
esac
exec python3 "$here/modes-bench.py" "$bin" "$@"
