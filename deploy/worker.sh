#!/bin/sh
# One worker of a sharded batch, as a job engine starts it.
#   LYRANE_S3_BUCKET   bucket (or s3://bucket/prefix) of the shared clip cache
#   LYRANE_JOB_URI     s3://... folder holding list.txt and the subtitle files it names
#   LYRANE_SHARD_COUNT number of workers; the index comes from JOB_COMPLETION_INDEX
#                      (Kubernetes) or AWS_BATCH_JOB_ARRAY_INDEX (AWS Batch)
#   ELEVENLABS_API_KEY the account's key
#   LYRANE_S3_CLIENT   http (the default here): lyrane talks to the bucket itself, so a
#                      worker starts no aws CLI per clip; aws: an aws CLI call per object
# Outputs go back beside their inputs, and this shard's report to reports/.
set -eu
: "${LYRANE_JOB_URI:?}" "${LYRANE_SHARD_COUNT:?}" "${LYRANE_S3_BUCKET:?}"
index=${JOB_COMPLETION_INDEX:-${AWS_BATCH_JOB_ARRAY_INDEX:?no shard index in the environment}}
export LYRANE_S3_CLIENT="${LYRANE_S3_CLIENT:-http}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
aws s3 cp --recursive --quiet "$LYRANE_JOB_URI" "$work/job" --exclude 'reports/*' --exclude '*.mp3'
status=0
lyrane --batch "@$work/job/list.txt" --output out.mp3 --jobs "${LYRANE_JOBS:-4}" \
    --temp-dir "$work/cache" --report "$work/shard-$index.json" "$@" || status=$?
aws s3 cp --recursive --quiet "$work/job" "$LYRANE_JOB_URI" --exclude '*' --include '*.mp3'
aws s3 cp --quiet "$work/shard-$index.json" "$LYRANE_JOB_URI/reports/shard-$index.json"
exit "$status"
