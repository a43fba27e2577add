#include "cache/take_record_store.h"

#include "cache/aws_runner.h"
#include "cache/take_record.h"

#include <QObject>
#include <QTemporaryFile>

#include <memory>

namespace lyrane {

QString TakeRecordStore::objectKey(const QString& name) const {
    return mirror.keyPrefix() + QStringLiteral("takes/") + name;
}

void TakeRecordStore::listAsync(
    QObject* context,
    std::function<void(bool ok, const QList<ListedTakeRecord>& records, const QString& error)> done)
    const {
    const QString prefix = objectKey(QString());
    mirror.listAsync(
        prefix, context,
        [prefix, done](bool ok, const QList<ListedObject>& objects, const QString& error) {
            if (!ok) {
                done(false, {}, error);
                return;
            }
            QList<ListedTakeRecord> records;
            for (const ListedObject& object : objects) {
                if (object.key.startsWith(prefix) && object.key.size() > prefix.size()) {
                    records.append({object.key.mid(prefix.size()), object.etag});
                }
            }
            done(true, records, QString());
        });
}

void TakeRecordStore::fetchAsync(const QString& name, const QString& localPath, QObject* context,
                                 std::function<void(bool ok, const QString& error)> done) const {
    auto partial = std::make_shared<QTemporaryFile>(localPath + QStringLiteral(".s3-XXXXXX"));
    if (!partial->open()) {
        const QString message = partial->errorString();
        postToEventLoop(context, [done, message] { done(false, message); });
        return;
    }
    partial->close();
    mirror.getFileAsync(objectKey(name), partial->fileName(), context,
                        [partial, localPath, done](bool got, const QString& why) {
                            if (!got) {
                                done(false, why);
                                return;
                            }
                            TakeRecordError kind = TakeRecordError::None;
                            QString error;
                            const std::optional<TakeRecord> record =
                                readTakeRecord(partial->fileName(), &kind, &error);
                            const bool ok = record && writeTakeRecord(localPath, *record, &error);
                            done(ok, error);
                        });
}

void TakeRecordStore::putAsync(const QString& name, const QString& localPath, QObject* context,
                               std::function<void(bool ok, const QString& error)> done) const {
    mirror.uploadFileAsync(objectKey(name), localPath, QString(), context, std::move(done));
}

} // namespace lyrane
