#!/bin/sh
# Times the cue listing of a large generated subtitle file.
# Usage: bench/listing-bench.sh [LYRANE_BINARY] [CUES] [RUNS] [vtt|srt]
# Defaults: build/lyrane, 100000 cues, 5 runs, WebVTT. Builds nothing.
set -eu

bin=${1:-build/lyrane}
cues=${2:-100000}
runs=${3:-5}
format=${4:-vtt}
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -x "$bin" ]; then
    echo "listing-bench: no executable at $bin" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lyrane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
vtt="$work/bench.$format"
case "$format" in
    vtt) python3 "$here/make-vtt.py" -n "$cues" "$vtt" ;;
    srt) python3 "$here/make-vtt.py" --srt -n "$cues" "$vtt" ;;
    *) echo "listing-bench: format must be vtt or srt" >&2; exit 1 ;;
esac
size=$(wc -c < "$vtt")
echo "file: $cues cues, $size bytes"

now_ms() {
    # GNU date gives nanoseconds; fall back to Python elsewhere.
    t=$(date +%s%N)
    case "$t" in
        *N) python3 -c 'import time; print(int(time.time() * 1000))' ;;
        *) echo $((t / 1000000)) ;;
    esac
}

times=""
i=1
while [ "$i" -le "$runs" ]; do
    start=$(now_ms)
    if ! "$bin" --vtt "$vtt" --dry-run > /dev/null 2> "$work/stderr"; then
        echo "listing-bench: run $i failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    end=$(now_ms)
    elapsed=$((end - start))
    echo "run $i: $elapsed ms"
    times="$times $elapsed"
    i=$((i + 1))
done

echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -n | awk '
    { t[NR] = $1; sum += $1 }
    END { printf "min %d ms, median %d ms, mean %.1f ms over %d runs\n",
          t[1], t[int((NR + 1) / 2)], sum / NR, NR }'

if [ -x /usr/bin/time ]; then
    peak=$(/usr/bin/time -f %M "$bin" --vtt "$vtt" --dry-run 2>&1 > /dev/null | tail -n 1)
    echo "peak resident memory: $peak KiB"
fi
