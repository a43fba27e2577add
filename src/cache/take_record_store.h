#pragma once

#include "cache/s3_objects.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// One take record the mirror holds: its file name and the MD5 of its bytes, as listed.
struct ListedTakeRecord {
    QString name;
    QByteArray md5Hex;
};

// The take records of the mirror's bucket, kept apart from the clips under "takes/" so one
// listing finds them all. Each operation calls `done` once, from the event loop; ending
// `context` ends it and drops the callback.
class TakeRecordStore {
public:
    explicit TakeRecordStore(const S3Objects& mirror) : mirror(mirror) {}

    bool isEnabled() const { return mirror.isEnabled(); }

    void listAsync(
        QObject* context,
        std::function<void(bool ok, const QList<ListedTakeRecord>& records, const QString& error)>
            done) const;
    // Brings record `name` to `localPath` when what the bucket holds reads as a record; the
    // file is replaced only then, whole.
    void fetchAsync(const QString& name, const QString& localPath, QObject* context,
                    std::function<void(bool ok, const QString& error)> done) const;
    void putAsync(const QString& name, const QString& localPath, QObject* context,
                  std::function<void(bool ok, const QString& error)> done) const;

private:
    QString objectKey(const QString& name) const;

    const S3Objects& mirror;
};

} // namespace lyrane
