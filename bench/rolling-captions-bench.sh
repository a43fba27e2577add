#!/bin/sh
# Times the --dry-run listing of a hostile file in the rolling-caption style: long cues whose
# lines only partly repeat the cue before, which a quadratic repeat check takes seconds over.
# Usage: bench/rolling-captions-bench.sh [LYRANE_BINARY] [LINES] [RUNS]
# Defaults: build/lyrane, 20000 lines per half cue (about 160 KB), 3 runs. Builds nothing.
set -eu

bin=${1:-build/lyrane}
lines=${2:-20000}
runs=${3:-3}

if [ ! -x "$bin" ]; then
    echo "rolling-captions-bench: no executable at $bin" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lyrane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
vtt="$work/rolling.vtt"
python3 - "$lines" "$vtt" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w") as out:
    out.write("WEBVTT\n\n00:00:00.000 --> 00:00:01.000\nso<00:00:00.500><c> we</c>\n")
    out.write("a\n" * (2 * n) + "\n")
    # A 10 ms cue whose first half repeats the end of the cue before and whose second half
    # does not: every candidate overlap longer than the half fails only at its middle.
    out.write("00:00:01.000 --> 00:00:01.010\n" + "a\n" * n + "b\n" * n)
PY
echo "file: $(wc -c < "$vtt") bytes"

i=1
while [ "$i" -le "$runs" ]; do
    start=$(date +%s%N)
    "$bin" --vtt "$vtt" --dry-run > /dev/null
    end=$(date +%s%N)
    echo "run $i: $(((end - start) / 1000000)) ms"
    i=$((i + 1))
done
