#include "cache/s3_claims.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace lyrane {

QString S3ClaimStore::claimWorker(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object().value(QStringLiteral("worker")).toString();
}

void S3ClaimStore::writeAsync(
    const QString& claimKey, const QByteArray& body, const QString& ifMatch, QObject* context,
    std::function<void(ObjectWrite outcome, const QString& error)> done) const {
    objects.writeIfAsync(claimKey, body, QStringLiteral("application/json"), ifMatch, context,
                         std::move(done));
}

void S3ClaimStore::readAsync(const QString& claimKey, QObject* context,
                             std::function<void(const StoredObject&)> done) const {
    objects.readAsync(claimKey, context, std::move(done));
}

void S3ClaimStore::removeAsync(const QString& claimKey, QObject* context,
                               std::function<void(bool ok, const QString& error)> done) const {
    objects.removeAsync(claimKey, context, std::move(done));
}

void S3ClaimStore::removeNow(const QStringList& claimKeys, int timeoutMs) const {
    objects.removeNow(claimKeys, timeoutMs);
}

void S3ClaimStore::removeOwnNow(const QStringList& claimKeys, const QString& worker,
                                int timeoutMs) const {
    const QList<StoredObject> claims = objects.readNow(claimKeys, timeoutMs);
    QStringList ours;
    for (qsizetype i = 0; i < claims.size() && i < claimKeys.size(); ++i) {
        if (claims[i].found && claimWorker(claims[i].body) == worker) {
            ours.append(claimKeys[i]);
        }
    }
    if (!ours.isEmpty()) {
        removeNow(ours, timeoutMs);
    }
}

} // namespace lyrane
