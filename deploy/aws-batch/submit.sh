#!/bin/sh
# Submits a sharded narration as an AWS Batch array job of N children, then the report merge
# as a job that starts when every child has succeeded.
#   aws batch register-job-definition --cli-input-json file://job-definition.json
#   deploy/aws-batch/submit.sh QUEUE 8
set -eu
queue=$1
count=$2
narrate=$(aws batch submit-job --job-name lyrane-narrate --job-queue "$queue" \
    --job-definition lyrane --array-properties "size=$count" \
    --container-overrides "environment=[{name=LYRANE_SHARD_COUNT,value=$count}]" \
    --query jobId --output text)
aws batch submit-job --job-name lyrane-merge --job-queue "$queue" --job-definition lyrane \
    --depends-on "jobId=$narrate" \
    --container-overrides 'command=["/usr/local/bin/merge.sh"]' --query jobId --output text
