#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// Which take of a clip is chosen and how many there are, kept beside take 1's clip as
// "<key>.take" (a line "chosen N of M"). A clip without one has a single take, take 1.
struct TakeRecord {
    int chosen = 1;
    int takes = 1;
};

// Why a take record could not be read; Missing is the usual case of a clip with one take.
enum class TakeRecordError { None, Missing, Unreadable };

// The record at `path`. Missing: nothing there. Unreadable: `error` says why (a file that
// cannot be opened, or one that does not hold "chosen N of M" with 1 <= N <= M).
std::optional<TakeRecord> readTakeRecord(const QString& path, TakeRecordError* kind,
                                         QString* error);
// Writes the record; the file appears whole or not at all.
bool writeTakeRecord(const QString& path, const TakeRecord& record, QString* error);
// The record's bytes, as written.
QByteArray takeRecordBytes(const TakeRecord& record);

} // namespace lyrane
