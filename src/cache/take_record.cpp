#include "cache/take_record.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSaveFile>

namespace lyrane {

QByteArray takeRecordBytes(const TakeRecord& record) {
    return QStringLiteral("chosen %1 of %2\n").arg(record.chosen).arg(record.takes).toUtf8();
}

namespace {

// A whole number of one to seven digits, nothing else.
std::optional<int> count(const QByteArray& digits) {
    if (digits.isEmpty() || digits.size() > 7) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::optional<TakeRecord> readTakeRecord(const QString& path, TakeRecordError* kind,
                                         QString* error) {
    // Read for every cue of every run: one open, no look-up before it.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!QFileInfo::exists(path)) {
            *kind = TakeRecordError::Missing;
            return std::nullopt;
        }
        *kind = TakeRecordError::Unreadable;
        *error = file.errorString();
        return std::nullopt;
    }
    *kind = TakeRecordError::Unreadable;
    // A record is one short line; a large file is not one.
    QByteArray line = file.read(64);
    if (line.endsWith('\n')) {
        line.chop(1);
    }
    const QList<QByteArray> words = line.split(' ');
    const std::optional<int> chosen = words.size() == 4 ? count(words[1]) : std::nullopt;
    const std::optional<int> takes = words.size() == 4 ? count(words[3]) : std::nullopt;
    if (!chosen || !takes || words[0] != "chosen" || words[2] != "of") {
        *error = QObject::tr("not a take record");
        return std::nullopt;
    }
    if (*chosen < 1 || *chosen > *takes) {
        *error = QObject::tr("take %1 of %2 does not exist").arg(*chosen).arg(*takes);
        return std::nullopt;
    }
    *kind = TakeRecordError::None;
    return TakeRecord{*chosen, *takes};
}

bool writeTakeRecord(const QString& path, const TakeRecord& record, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(takeRecordBytes(record)) < 0 ||
        !file.commit()) {
        *error = QObject::tr("failed to write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace lyrane
