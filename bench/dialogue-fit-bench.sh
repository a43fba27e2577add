#!/bin/sh
# Times the fitting of descriptions between dialogue (default: 1,500 against 3,000 cues).
# Usage: bench/dialogue-fit-bench.sh [DESCRIPTIONS] [DIALOGUE CUES]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
c++ -std=c++17 -O2 -fPIC -I"$here/../src" "$here/dialogue-fit-bench.cpp" \
    "$here/../src/runs/dialogue_fit.cpp" $(pkg-config --cflags --libs Qt6Core) \
    -o "$work/dialogue-fit-bench"
"$work/dialogue-fit-bench" "$@"
