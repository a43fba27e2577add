#pragma once

#include "runs/run_configuration.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// The files of a comma list, or of `@FILE`: one path a line, blank lines and lines starting
// with `#` skipped, relative paths taken from the list's folder. Every file of a list file
// must exist. Nothing, with one line in `error`, when the list cannot be read or names a
// missing file.
std::optional<QStringList> readFileList(const QString& value, QString* error);

// --shard and --shard-count as given (empty when not).
struct ShardOptions {
    QString shard;
    QString count;
};

// Settles the batch from --batch's value and this worker's share of it: --shard, else
// LYRANE_SHARD, else JOB_COMPLETION_INDEX or AWS_BATCH_JOB_ARRAY_INDEX with --shard-count (or
// LYRANE_SHARD_COUNT). The refusal's line when the list or the share cannot be had.
std::optional<QString> selectBatchFiles(const QString& batchValue, const ShardOptions& options,
                                        const Environment& environment, RunConfiguration* config);

// A share asked for by a run that is not a batch: the refusal's line.
std::optional<QString> refuseShardWithoutBatch(const ShardOptions& options,
                                               const Environment& environment);

} // namespace lyrane
