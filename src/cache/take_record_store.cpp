#include "cache/take_record_store.h"

#include "cache/take_record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    // The tool follows the listing's pages itself and prints them as one.
    mirror.runAwsAsync({QStringLiteral("s3api"), QStringLiteral("list-objects-v2"),
                        QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--prefix"),
                        prefix, QStringLiteral("--output"), QStringLiteral("json")},
                       context, [prefix, done](const AwsResult& listed) {
                           if (!listed.ok) {
                               done(false, {}, listed.error);
                               return;
                           }
                           QList<ListedTakeRecord> records;
                           const QJsonArray contents =
                               QJsonDocument::fromJson(listed.standardOutput)
                                   .object()
                                   .value(QLatin1String("Contents"))
                                   .toArray();
                           for (const QJsonValue& entry : contents) {
                               const QJsonObject object = entry.toObject();
                               const QString key = object.value(QLatin1String("Key")).toString();
                               if (!key.startsWith(prefix) || key.size() == prefix.size()) {
                                   continue;
                               }
                               QString etag = object.value(QLatin1String("ETag")).toString();
                               etag.remove(QLatin1Char('"'));
                               records.append({key.mid(prefix.size()), etag.toLatin1()});
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
    mirror.runAwsAsync({QStringLiteral("s3api"), QStringLiteral("get-object"),
                        QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--key"),
                        objectKey(name), partial->fileName()},
                       context, [partial, localPath, done](const AwsResult& got) {
                           if (!got.ok) {
                               done(false, got.error);
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
    mirror.runAwsAsync({QStringLiteral("s3api"), QStringLiteral("put-object"),
                        QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--key"),
                        objectKey(name), QStringLiteral("--body"), localPath},
                       context, [done](const AwsResult& sent) { done(sent.ok, sent.error); });
}

} // namespace lyrane
