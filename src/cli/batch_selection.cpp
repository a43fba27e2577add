#include "cli/batch_selection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>

namespace lyrane {

namespace {

// Whole numbers as written by people and job engines: ASCII digits, small enough for an int.
std::optional<int> wholeNumber(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    return text.toInt();
}

std::optional<BatchShard> parseShard(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 2) {
        return std::nullopt;
    }
    const std::optional<int> index = wholeNumber(parts[0].trimmed());
    const std::optional<int> count = wholeNumber(parts[1].trimmed());
    if (!index || !count || *count == 0 || *index >= *count) {
        return std::nullopt;
    }
    return BatchShard{*index, *count, 0};
}

// The share named by the options or the environment; nothing when none is asked for.
struct ShardChoice {
    std::optional<BatchShard> shard;
    QString refusal;
};

ShardChoice chooseShard(const ShardOptions& options, const Environment& environment) {
    for (const auto& [value, name] :
         {std::pair{options.shard, QStringLiteral("--shard")},
          std::pair{environment.shard, QStringLiteral("LYRANE_SHARD")}}) {
        if (value.isEmpty()) {
            continue;
        }
        const std::optional<BatchShard> shard = parseShard(value);
        if (!shard) {
            return {std::nullopt,
                    QObject::tr("%1 must be K/N with K from 0 to N-1: %2\n").arg(name, value)};
        }
        return {shard, QString()};
    }
    const bool countGiven = !options.count.isEmpty();
    const QString countText = countGiven ? options.count : environment.shardCount;
    const QString countName =
        countGiven ? QStringLiteral("--shard-count") : QStringLiteral("LYRANE_SHARD_COUNT");
    if (countText.isEmpty()) {
        return {};
    }
    const std::optional<int> count = wholeNumber(countText);
    if (!count || *count == 0) {
        return {std::nullopt,
                QObject::tr("%1 must be a whole number from 1: %2\n").arg(countName, countText)};
    }
    const bool kubernetes = !environment.jobCompletionIndex.isEmpty();
    const QString indexText =
        kubernetes ? environment.jobCompletionIndex : environment.arrayJobIndex;
    const QString indexName = kubernetes ? QStringLiteral("JOB_COMPLETION_INDEX")
                                         : QStringLiteral("AWS_BATCH_JOB_ARRAY_INDEX");
    if (indexText.isEmpty()) {
        return {std::nullopt,
                QObject::tr("%1 needs JOB_COMPLETION_INDEX or AWS_BATCH_JOB_ARRAY_INDEX\n")
                    .arg(countName)};
    }
    const std::optional<int> index = wholeNumber(indexText);
    if (!index) {
        return {std::nullopt, QObject::tr("%1 is not a number: %2\n").arg(indexName, indexText)};
    }
    if (*index >= *count) {
        return {std::nullopt, QObject::tr("%1 must be from 0 to %2 (%3 %4): %5\n")
                                  .arg(indexName)
                                  .arg(*count - 1)
                                  .arg(countName, countText, indexText)};
    }
    return {BatchShard{*index, *count, 0}, QString()};
}

} // namespace

std::optional<QStringList> readFileList(const QString& value, QString* error) {
    QStringList files;
    if (!value.startsWith(QLatin1Char('@'))) {
        for (const QString& entry : value.split(QLatin1Char(','))) {
            if (!entry.trimmed().isEmpty()) {
                files.append(entry.trimmed());
            }
        }
        return files;
    }
    const QString listPath = value.mid(1);
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly)) {
        *error = QObject::tr("cannot read list file %1: %2\n").arg(listPath, list.errorString());
        return std::nullopt;
    }
    const QDir folder = QFileInfo(listPath).absoluteDir();
    const QStringList lines = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString entry = lines[i].trimmed();
        if (entry.isEmpty() || entry.startsWith(QLatin1Char('#'))) {
            continue;
        }
        // Paths stay as written when absolute, so outputs and reports name them as given.
        const QString file =
            QDir::isAbsolutePath(entry) ? entry : QDir::cleanPath(folder.filePath(entry));
        if (!QFileInfo(file).isFile()) {
            *error =
                QObject::tr("%1 line %2: no such file: %3\n").arg(listPath).arg(i + 1).arg(entry);
            return std::nullopt;
        }
        files.append(file);
    }
    return files;
}

std::optional<QString> selectBatchFiles(const QString& batchValue, const ShardOptions& options,
                                        const Environment& environment, RunConfiguration* config) {
    QString error;
    const std::optional<QStringList> files = readFileList(batchValue, &error);
    if (!files) {
        return error;
    }
    const ShardChoice choice = chooseShard(options, environment);
    if (!choice.refusal.isEmpty()) {
        return choice.refusal;
    }
    config->batchFiles = *files;
    if (!choice.shard) {
        return std::nullopt;
    }
    BatchShard shard = *choice.shard;
    shard.listFiles = int(files->size());
    QStringList share;
    for (int i = shard.index; i < files->size(); i += shard.count) {
        share.append(files->at(i));
    }
    config->batchFiles = share;
    config->shard = shard;
    return std::nullopt;
}

std::optional<QString> refuseShardWithoutBatch(const ShardOptions& options,
                                               const Environment& environment) {
    if (!options.shard.isEmpty() || !environment.shard.isEmpty()) {
        return QObject::tr("a shard (--shard or LYRANE_SHARD) needs --batch\n");
    }
    if (!options.count.isEmpty()) {
        return QObject::tr("--shard-count needs --batch\n");
    }
    return std::nullopt;
}

} // namespace lyrane
