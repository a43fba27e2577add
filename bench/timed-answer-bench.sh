#!/bin/sh
# Times the reading of a two-minute with-timestamps answer (JSON, base64, alignment checks),
# built with -O2 from the two units that read it.
# Usage: bench/timed-answer-bench.sh
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

c++ -std=c++17 -O2 -fPIC -I"$here/../src" "$here/timed-answer-bench.cpp" \
    "$here/../src/synthesis/timed_answer.cpp" "$here/../src/synthesis/word_alignment.cpp" \
    $(pkg-config --cflags --libs Qt6Core) -o "$work/timed-answer-bench"
"$work/timed-answer-bench"
