#!/bin/sh
# The final step: joins every shard's report into reports/all.json.
set -eu
: "${LYRANE_JOB_URI:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
aws s3 cp --recursive --quiet "$LYRANE_JOB_URI/reports" "$work" --exclude all.json
ls "$work"/shard-*.json > "$work/reports.txt"
lyrane --merge-reports "@$work/reports.txt" --report "$work/all.json"
aws s3 cp --quiet "$work/all.json" "$LYRANE_JOB_URI/reports/all.json"
