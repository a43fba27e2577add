#include "runs/take_choices.h"

#include "cache/s3_mirror.h"
#include "cache/take_record.h"
#include "runs/console.h"
#include "runs/stop_signals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTemporaryFile>

namespace lyrane {

namespace {

const QString kRecordSuffix = QStringLiteral(".take");

// Where the mirror keeps records: apart from the clips, so one listing finds them all.
QString recordPrefix(const S3Mirror& mirror) {
    return mirror.keyPrefix() + QStringLiteral("takes/");
}

// Runs one aws call to its end; a stop signal ends the call (and the child) at once.
AwsResult runAwsNow(const S3Mirror& mirror, const QList<QString>& arguments) {
    AwsResult result;
    if (receivedStopSignal() != 0) {
        result.error = QObject::tr("stopped");
        return result;
    }
    QEventLoop loop;
    const StopScope stopping([&loop] { loop.quit(); });
    mirror.runAwsAsync(arguments, &loop, [&](const AwsResult& done) {
        result = done;
        loop.quit();
    });
    loop.exec();
    return result;
}

QByteArray fileMd5(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex();
}

QString takeList(int takes) {
    return takes == 1 ? QObject::tr("it has only take 1")
                      : QObject::tr("it has takes 1 to %1").arg(takes);
}

// Copies one listed record into place when it is a record at all.
bool fetchRecord(const S3Mirror& mirror, const QString& objectKey, const QString& localPath,
                 QString* error) {
    QTemporaryFile partial(localPath + QStringLiteral(".s3-XXXXXX"));
    if (!partial.open()) {
        *error = partial.errorString();
        return false;
    }
    partial.close();
    const AwsResult got = runAwsNow(
        mirror, {QStringLiteral("s3api"), QStringLiteral("get-object"), QStringLiteral("--bucket"),
                 mirror.bucketName(), QStringLiteral("--key"), objectKey, partial.fileName()});
    if (!got.ok) {
        *error = got.error;
        return false;
    }
    TakeRecordError kind = TakeRecordError::None;
    const std::optional<TakeRecord> record = readTakeRecord(partial.fileName(), &kind, error);
    return record && writeTakeRecord(localPath, *record, error);
}

} // namespace

QString takeRecordPath(const ClipJob& first) {
    return first.path.left(first.path.size() - first.extension.size()) + kRecordSuffix;
}

bool checkTakeCues(const TakeRequests& requests, int count, QString* failure) {
    const int last = requests.lastCue();
    if (last > count) {
        *failure = printFailure(
            QObject::tr("Cue %1 is not in the run, which narrates %2 cues\n").arg(last).arg(count));
        return false;
    }
    for (auto it = requests.choices.begin(); it != requests.choices.end(); ++it) {
        if (requests.isRetaken(it.key())) {
            *failure = printFailure(
                QObject::tr("Cue %1 is given to both --retake and --take\n").arg(it.key()));
            return false;
        }
    }
    return true;
}

std::optional<CueTake> cueTake(int number, const ClipJob& first, const TakeRequests& requests,
                               QString* failure) {
    CueTake take;
    take.recordPath = takeRecordPath(first);
    TakeRecordError kind = TakeRecordError::None;
    QString error;
    const std::optional<TakeRecord> record = readTakeRecord(take.recordPath, &kind, &error);
    if (record) {
        take.take = record->chosen;
        take.takes = record->takes;
    } else if (kind == TakeRecordError::Unreadable) {
        printError(QObject::tr("Cannot read the take chosen for cue %1 (%2: %3); using take 1\n")
                       .arg(number)
                       .arg(take.recordPath, error));
    }
    if (requests.isRetaken(number)) {
        take.takes += 1;
        take.take = take.takes;
        take.changed = true;
    } else if (requests.choices.contains(number)) {
        const int chosen = requests.choices.value(number);
        if (chosen > take.takes) {
            *failure = printFailure(QObject::tr("Cue %1 has no take %2; %3\n")
                                        .arg(number)
                                        .arg(chosen)
                                        .arg(takeList(take.takes)));
            return std::nullopt;
        }
        take.changed = chosen != take.take;
        take.take = chosen;
    }
    return take;
}

void fetchTakeRecords(const S3Mirror& mirror, const QList<ClipJob>& firsts) {
    const QString prefix = recordPrefix(mirror);
    const AwsResult listed = runAwsNow(
        mirror, {QStringLiteral("s3api"), QStringLiteral("list-objects-v2"),
                 QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--prefix"),
                 prefix, QStringLiteral("--output"), QStringLiteral("json")});
    if (!listed.ok) {
        if (receivedStopSignal() != 0) {
            return;
        }
        printError(QObject::tr("Could not read the takes chosen on the mirror: %1; using the "
                               "local choices\n")
                       .arg(listed.error));
        return;
    }
    QHash<QString, QString> records; // file name -> path
    for (const ClipJob& first : firsts) {
        const QString path = takeRecordPath(first);
        records.insert(QFileInfo(path).fileName(), path);
    }
    const QJsonArray contents = QJsonDocument::fromJson(listed.standardOutput)
                                    .object()
                                    .value(QLatin1String("Contents"))
                                    .toArray();
    for (const QJsonValue& entry : contents) {
        const QString objectKey = entry.toObject().value(QLatin1String("Key")).toString();
        const QString name = objectKey.mid(prefix.size());
        if (!objectKey.startsWith(prefix) || !records.contains(name)) {
            continue;
        }
        const QString localPath = records.value(name);
        QString etag = entry.toObject().value(QLatin1String("ETag")).toString();
        etag.remove(QLatin1Char('"'));
        if (fileMd5(localPath) == etag.toLatin1()) {
            continue;
        }
        QString error;
        if (!fetchRecord(mirror, objectKey, localPath, &error)) {
            if (receivedStopSignal() != 0) {
                return;
            }
            printError(QObject::tr("Could not fetch the take chosen on the mirror for %1: %2; "
                                   "using the local choice\n")
                           .arg(name, error));
        }
    }
}

ClipJob takeJob(const ClipSource& source, const ClipJob& first, const CueTake& take) {
    return take.take > 1 ? source.job(first.request, first.voiceName, take.take) : first;
}

QString takeListingLine(const CueTake& take) {
    return take.takes > 1 ? QObject::tr("  Take: %1 of %2\n").arg(take.take).arg(take.takes)
                          : QString();
}

std::optional<QList<CueTake>> chooseTakes(const ClipSource& source, const S3Mirror* mirror,
                                          const TakeRequests& requests, QList<ClipJob>* jobs,
                                          QString* failure) {
    if (!checkTakeCues(requests, int(jobs->size()), failure)) {
        return std::nullopt;
    }
    if (mirror && mirror->isEnabled()) {
        fetchTakeRecords(*mirror, *jobs);
    }
    QList<CueTake> takes;
    takes.reserve(jobs->size());
    for (int i = 0; i < jobs->size(); ++i) {
        ClipJob& job = (*jobs)[i];
        const std::optional<CueTake> take = cueTake(i + 1, job, requests, failure);
        if (!take) {
            return std::nullopt;
        }
        job = takeJob(source, job, *take);
        takes.append(*take);
    }
    return takes;
}

bool rememberTakes(const QList<CueTake>& takes, const S3Mirror* mirror, QString* failure) {
    QSet<QString> written;
    for (int i = 0; i < takes.size(); ++i) {
        const CueTake& take = takes[i];
        if (!take.changed || written.contains(take.recordPath)) {
            continue;
        }
        written.insert(take.recordPath);
        QString error;
        if (!writeTakeRecord(take.recordPath, {take.take, take.takes}, &error)) {
            *failure = printFailure(error + QLatin1Char('\n'));
            return false;
        }
        printError(QObject::tr("Cue %1 now uses take %2 of %3\n")
                       .arg(i + 1)
                       .arg(take.take)
                       .arg(take.takes));
        if (!mirror || !mirror->isEnabled()) {
            continue;
        }
        const QString objectKey = recordPrefix(*mirror) + QFileInfo(take.recordPath).fileName();
        const AwsResult sent = runAwsNow(
            *mirror, {QStringLiteral("s3api"), QStringLiteral("put-object"),
                      QStringLiteral("--bucket"), mirror->bucketName(), QStringLiteral("--key"),
                      objectKey, QStringLiteral("--body"), take.recordPath});
        if (!sent.ok) {
            *failure =
                printFailure(QObject::tr("S3 upload of the take chosen for cue %1 failed: %2\n")
                                 .arg(i + 1)
                                 .arg(sent.error));
            return false;
        }
    }
    return true;
}

} // namespace lyrane
