#include "runs/report_merge.h"

#include "runs/console.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QSaveFile>

#include <optional>

namespace lyrane {

namespace {

std::optional<QJsonObject> readReport(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QObject::tr("cannot read report %1: %2\n").arg(path, file.errorString());
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject report = document.object();
    if (parseError.error != QJsonParseError::NoError ||
        report.value(QStringLiteral("program")).toString() != QLatin1String("lyrane") ||
        !report.value(QStringLiteral("cues")).isArray() ||
        !report.value(QStringLiteral("totals")).isObject()) {
        *error = QObject::tr("%1 is not a lyrane report\n").arg(path);
        return std::nullopt;
    }
    return report;
}

// The files a report holds entries for: its cues', outputs' and failure's inputs.
QStringList reportInputs(const QJsonObject& report) {
    QStringList inputs;
    const auto add = [&inputs](const QJsonValue& input) {
        if (input.isString() && !inputs.contains(input.toString())) {
            inputs.append(input.toString());
        }
    };
    for (const QString& member : {QStringLiteral("cues"), QStringLiteral("outputs")}) {
        for (const QJsonValue entry : report.value(member).toArray()) {
            add(entry.toObject().value(QStringLiteral("input")));
        }
    }
    add(report.value(QStringLiteral("failure")).toObject().value(QStringLiteral("input")));
    return inputs;
}

QString shardName(const QJsonObject& report) {
    const QJsonObject shard = report.value(QStringLiteral("shard")).toObject();
    if (shard.isEmpty()) {
        return QString();
    }
    return QStringLiteral("%1/%2")
        .arg(shard.value(QStringLiteral("index")).toInt())
        .arg(shard.value(QStringLiteral("count")).toInt());
}

QJsonObject sumTotals(const QJsonObject& a, const QJsonObject& b) {
    QJsonObject sum = a;
    for (const QString& member :
         {QStringLiteral("cues"), QStringLiteral("new_clips"), QStringLiteral("characters_billed"),
          QStringLiteral("credits_estimated")}) {
        sum.insert(member, a.value(member).toInteger() + b.value(member).toInteger());
    }
    const QString estimated = QStringLiteral("characters_billed_estimated");
    sum.insert(estimated, a.value(estimated).toBool() || b.value(estimated).toBool());
    return sum;
}

std::optional<QJsonObject> mergeReports(const QStringList& paths, QString* error) {
    std::optional<QJsonObject> merged;
    QHash<QString, QString> holderOfInput; // file -> the report holding it
    QHash<QString, QString> holderOfShard;
    QJsonArray cues;
    QJsonArray outputs;
    for (const QString& path : paths) {
        const std::optional<QJsonObject> report = readReport(path, error);
        if (!report) {
            return std::nullopt;
        }
        if (!merged) {
            merged = *report;
            merged->remove(QStringLiteral("shard"));
            merged->insert(QStringLiteral("totals"), QJsonObject{});
        } else if (report->value(QStringLiteral("settings")) !=
                       merged->value(QStringLiteral("settings")) ||
                   report->value(QStringLiteral("dry_run")) !=
                       merged->value(QStringLiteral("dry_run"))) {
            *error = QObject::tr("cannot merge %1 and %2: they were made with different settings\n")
                         .arg(paths.first(), path);
            return std::nullopt;
        }
        const QString shard = shardName(*report);
        if (!shard.isEmpty() && holderOfShard.contains(shard)) {
            *error = QObject::tr("cannot merge %1 and %2: both are shard %3\n")
                         .arg(holderOfShard.value(shard), path, shard);
            return std::nullopt;
        }
        holderOfShard.insert(shard, path);
        for (const QString& input : reportInputs(*report)) {
            if (holderOfInput.contains(input)) {
                *error = QObject::tr("cannot merge %1 and %2: both hold %3\n")
                             .arg(holderOfInput.value(input), path, input);
                return std::nullopt;
            }
            holderOfInput.insert(input, path);
        }
        for (const QJsonValue cue : report->value(QStringLiteral("cues")).toArray()) {
            cues.append(cue);
        }
        for (const QJsonValue output : report->value(QStringLiteral("outputs")).toArray()) {
            outputs.append(output);
        }
        merged->insert(QStringLiteral("totals"),
                       sumTotals(merged->value(QStringLiteral("totals")).toObject(),
                                 report->value(QStringLiteral("totals")).toObject()));
        // The first failure stands for the whole, as in one run of the list.
        if (merged->value(QStringLiteral("failure")).isNull()) {
            merged->insert(QStringLiteral("failure"), report->value(QStringLiteral("failure")));
        }
    }
    merged->insert(QStringLiteral("cues"), cues);
    merged->insert(QStringLiteral("outputs"), outputs);
    return merged;
}

} // namespace

int mergeRunReports(const RunConfiguration& config) {
    QString error;
    if (config.mergeReports.isEmpty()) {
        printError(QObject::tr("--merge-reports needs at least one report\n"));
        return 1;
    }
    const std::optional<QJsonObject> merged = mergeReports(config.mergeReports, &error);
    if (!merged) {
        printError(error);
        return 1;
    }
    QSaveFile file(config.reportFile);
    const QByteArray bytes = QJsonDocument(*merged).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        printError(QObject::tr("failed to write report %1: %2\n")
                       .arg(config.reportFile, file.errorString()));
        return 1;
    }
    printError(QObject::tr("Merged %1 reports: %2 cues\n")
                   .arg(config.mergeReports.size())
                   .arg(merged->value(QStringLiteral("totals"))
                            .toObject()
                            .value(QStringLiteral("cues"))
                            .toInteger()));
    return 0;
}

} // namespace lyrane
