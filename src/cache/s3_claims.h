#pragma once

#include "cache/s3_objects.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;

namespace lyrane {

// Claims on clips in the mirror's bucket: small JSON objects beside the clips, written only
// when absent (or, to take one over, only while unchanged).
class S3ClaimStore {
public:
    explicit S3ClaimStore(const S3Objects& objects) : objects(objects) {}

    // Writes `body` under `claimKey` when no object is there, or, with `ifMatch`, only while
    // the object there still has that ETag.
    void writeAsync(const QString& claimKey, const QByteArray& body, const QString& ifMatch,
                    QObject* context,
                    std::function<void(ObjectWrite outcome, const QString& error)> done) const;
    void readAsync(const QString& claimKey, QObject* context,
                   std::function<void(const StoredObject&)> done) const;
    void removeAsync(const QString& claimKey, QObject* context,
                     std::function<void(bool ok, const QString& error)> done) const;
    // Removes the claims at once, all in parallel, waiting up to `timeoutMs` for them: for a
    // run that is stopping and has no event loop left to wait in.
    void removeNow(const QStringList& claimKeys, int timeoutMs) const;
    // The same for claims whose writing was cut short: each is removed only when it is there
    // and names `worker`, so that another worker's claim stays.
    void removeOwnNow(const QStringList& claimKeys, const QString& worker, int timeoutMs) const;

    // The worker a claim's body names; empty when it names none.
    static QString claimWorker(const QByteArray& body);

private:
    const S3Objects& objects;
};

} // namespace lyrane
