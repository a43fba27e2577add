#include "runs/take_choices.h"

#include "cache/take_record.h"
#include "runs/console.h"
#include "runs/stop_signals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QObject>
#include <QSet>

namespace lyrane {

namespace {

const QString kRecordSuffix = QStringLiteral(".take");

using StoreDone = std::function<void(bool ok, const QString& error)>;

// Waits for one call to the record store; a stop signal ends the call at once.
bool awaitStore(const std::function<void(QObject*, const StoreDone&)>& call, QString* error) {
    *error = QObject::tr("stopped");
    if (receivedStopSignal() != 0) {
        return false;
    }
    bool ok = false;
    QEventLoop loop;
    const StopScope stopping([&loop] { loop.quit(); });
    call(&loop, [&](bool done, const QString& why) {
        ok = done;
        *error = why;
        loop.quit();
    });
    loop.exec();
    return ok;
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

void fetchTakeRecords(const TakeRecordStore& store, const QList<ClipJob>& firsts) {
    QList<ListedTakeRecord> listed;
    QString error;
    const bool ok = awaitStore(
        [&](QObject* context, const StoreDone& done) {
            store.listAsync(context,
                            [&listed, done](bool listedOk, const QList<ListedTakeRecord>& records,
                                            const QString& why) {
                                listed = records;
                                done(listedOk, why);
                            });
        },
        &error);
    if (!ok) {
        if (receivedStopSignal() != 0) {
            return;
        }
        printError(QObject::tr("Could not read the takes chosen on the mirror: %1; using the "
                               "local choices\n")
                       .arg(error));
        return;
    }
    QHash<QString, QString> records; // file name -> path
    for (const ClipJob& first : firsts) {
        const QString path = takeRecordPath(first);
        records.insert(QFileInfo(path).fileName(), path);
    }
    for (const ListedTakeRecord& entry : std::as_const(listed)) {
        if (!records.contains(entry.name)) {
            continue;
        }
        const QString localPath = records.value(entry.name);
        if (fileMd5(localPath) == entry.md5Hex) {
            continue;
        }
        const bool fetched = awaitStore(
            [&](QObject* context, const StoreDone& done) {
                store.fetchAsync(entry.name, localPath, context, done);
            },
            &error);
        if (!fetched) {
            if (receivedStopSignal() != 0) {
                return;
            }
            printError(QObject::tr("Could not fetch the take chosen on the mirror for %1: %2; "
                                   "using the local choice\n")
                           .arg(entry.name, error));
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

std::optional<QList<CueTake>> chooseTakes(const ClipSource& source, const TakeRecordStore* store,
                                          const TakeRequests& requests, QList<ClipJob>* jobs,
                                          QString* failure) {
    if (!checkTakeCues(requests, int(jobs->size()), failure)) {
        return std::nullopt;
    }
    if (store && store->isEnabled()) {
        fetchTakeRecords(*store, *jobs);
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

bool rememberTakes(const QList<CueTake>& takes, const TakeRecordStore* store, QString* failure) {
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
        if (!store || !store->isEnabled()) {
            continue;
        }
        const bool sent = awaitStore(
            [&](QObject* context, const StoreDone& done) {
                store->putAsync(QFileInfo(take.recordPath).fileName(), take.recordPath, context,
                                done);
            },
            &error);
        if (!sent) {
            *failure =
                printFailure(QObject::tr("S3 upload of the take chosen for cue %1 failed: %2\n")
                                 .arg(i + 1)
                                 .arg(error));
            return false;
        }
    }
    return true;
}

} // namespace lyrane
