#include "runs/take_choices.h"

#include "cache/take_record.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QObject>

namespace lyrane {

namespace {

using StoreDone = std::function<void(bool ok, const QString& error)>;

// Waits for one call to the record store; a stop ends the call at once.
bool awaitStore(const StopToken& stop, const std::function<void(QObject*, const StoreDone&)>& call,
                QString* error) {
    *error = QObject::tr("stopped");
    if (stop.requested()) {
        return false;
    }
    bool ok = false;
    QEventLoop loop;
    const std::unique_ptr<StopWatch> watch = stop.watch([&loop] { loop.quit(); });
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

std::optional<NarrationOutcome> checkTakeCues(const TakeRequests& requests, int count) {
    const int last = requests.lastCue();
    if (last > count) {
        return NarrationOutcome::failedWith(
            RunFailure::Kind::Input,
            QObject::tr("Cue %1 is not in the run, which narrates %2 cues\n").arg(last).arg(count));
    }
    for (auto it = requests.choices.begin(); it != requests.choices.end(); ++it) {
        if (requests.isRetaken(it.key())) {
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Input,
                QObject::tr("Cue %1 is given to both --retake and --take\n").arg(it.key()));
        }
    }
    return std::nullopt;
}

bool TakeChoices::listMirror() {
    if (listed) {
        return true;
    }
    QString error;
    const bool ok = awaitStore(
        context.stop,
        [&](QObject* loop, const StoreDone& done) {
            store->listAsync(loop,
                             [this, done](bool listedOk, const QList<ListedTakeRecord>& records,
                                          const QString& why) {
                                 mirrored = records;
                                 done(listedOk, why);
                             });
        },
        &error);
    if (!ok) {
        if (!context.stop.requested()) {
            context.console.error(QObject::tr("Could not read the takes chosen on the mirror: %1; "
                                              "using the local choices\n")
                                      .arg(error));
        }
        return false;
    }
    listed = true;
    return true;
}

void TakeChoices::bringIn(const QList<ClipJob>& firsts) {
    if (!store || !store->isEnabled() || !listMirror()) {
        return;
    }
    QHash<QString, QString> records; // file name -> path
    for (const ClipJob& first : firsts) {
        const QString path = ClipSource::takeRecordPath(first);
        records.insert(QFileInfo(path).fileName(), path);
    }
    for (const ListedTakeRecord& entry : std::as_const(mirrored)) {
        if (!records.contains(entry.name) || fetched.contains(entry.name)) {
            continue;
        }
        const QString localPath = records.value(entry.name);
        if (fileMd5(localPath) == entry.md5Hex) {
            continue;
        }
        QString error;
        const bool ok = awaitStore(
            context.stop,
            [&](QObject* loop, const StoreDone& done) {
                store->fetchAsync(entry.name, localPath, loop, done);
            },
            &error);
        if (context.stop.requested()) {
            return;
        }
        fetched.insert(entry.name);
        if (!ok) {
            context.console.error(QObject::tr("Could not fetch the take chosen on the mirror for "
                                              "%1: %2; using the local choice\n")
                                      .arg(entry.name, error));
        }
    }
}

std::optional<CueTake> TakeChoices::cueTake(int number, const ClipJob& first,
                                            const TakeRequests& requests, NarrationOutcome* failure,
                                            bool sayUnreadable) {
    CueTake take;
    take.recordPath = ClipSource::takeRecordPath(first);
    TakeRecordError kind = TakeRecordError::None;
    QString error;
    const std::optional<TakeRecord> record = readTakeRecord(take.recordPath, &kind, &error);
    if (record) {
        take.take = record->chosen;
        take.takes = record->takes;
    } else if (kind == TakeRecordError::Unreadable && sayUnreadable) {
        context.console.error(
            QObject::tr("Cannot read the take chosen for cue %1 (%2: %3); using take 1\n")
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
            *failure = NarrationOutcome::failedWith(RunFailure::Kind::Input,
                                                    QObject::tr("Cue %1 has no take %2; %3\n")
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

NarrationOutcome TakeChoices::remember(const QList<CueTake>& takes) {
    QSet<QString> written;
    for (int i = 0; i < takes.size(); ++i) {
        const CueTake& take = takes[i];
        if (!take.changed || written.contains(take.recordPath)) {
            continue;
        }
        written.insert(take.recordPath);
        QString error;
        if (!writeTakeRecord(take.recordPath, {take.take, take.takes}, &error)) {
            return NarrationOutcome::failedWith(RunFailure::Kind::Output,
                                                error + QLatin1Char('\n'));
        }
        context.console.error(QObject::tr("Cue %1 now uses take %2 of %3\n")
                                  .arg(i + 1)
                                  .arg(take.take)
                                  .arg(take.takes));
        if (!store || !store->isEnabled()) {
            continue;
        }
        const bool sent = awaitStore(
            context.stop,
            [&](QObject* loop, const StoreDone& done) {
                store->putAsync(QFileInfo(take.recordPath).fileName(), take.recordPath, loop, done);
            },
            &error);
        if (context.stop.requested()) {
            return NarrationOutcome::stoppedBy(context.stop.signal());
        }
        if (!sent) {
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Output,
                QObject::tr("S3 upload of the take chosen for cue %1 failed: %2\n")
                    .arg(i + 1)
                    .arg(error));
        }
    }
    return {};
}

ClipJob takeJob(const ClipSource& source, const ClipJob& first, const CueTake& take) {
    return take.take > 1 ? source.job(first.request, first.voiceName, take.take) : first;
}

QString takeListingLine(const CueTake& take) {
    return take.takes > 1 ? QObject::tr("  Take: %1 of %2\n").arg(take.take).arg(take.takes)
                          : QString();
}

} // namespace lyrane
