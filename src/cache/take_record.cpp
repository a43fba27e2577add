#include "cache/take_record.h"

#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>

namespace lyrane {

namespace {

// More takes than anyone asks for; a larger figure is a damaged file.
constexpr int kMaxTakes = 1000000;

} // namespace

QByteArray takeRecordBytes(const TakeRecord& record) {
    return QStringLiteral("chosen %1 of %2\n").arg(record.chosen).arg(record.takes).toUtf8();
}

std::optional<TakeRecord> readTakeRecord(const QString& path, TakeRecordError* kind,
                                         QString* error) {
    QFile file(path);
    if (!file.exists()) {
        *kind = TakeRecordError::Missing;
        return std::nullopt;
    }
    *kind = TakeRecordError::Unreadable;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    // A record is one short line; a large file is not one.
    const QByteArray bytes = file.read(64);
    static const QRegularExpression shape(
        QStringLiteral("^chosen ([0-9]{1,7}) of ([0-9]{1,7})\n?$"));
    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(bytes));
    if (!match.hasMatch()) {
        *error = QObject::tr("not a take record");
        return std::nullopt;
    }
    TakeRecord record;
    record.chosen = match.captured(1).toInt();
    record.takes = match.captured(2).toInt();
    if (record.chosen < 1 || record.chosen > record.takes || record.takes > kMaxTakes) {
        *error = QObject::tr("take %1 of %2 does not exist").arg(record.chosen).arg(record.takes);
        return std::nullopt;
    }
    *kind = TakeRecordError::None;
    return record;
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
