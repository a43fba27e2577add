#pragma once

#include "cache/s3_mirror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;

namespace lyrane {

// What a conditional write of a claim came to.
enum class ClaimWrite {
    Written,     // the claim is ours
    Taken,       // another claim is there (or was written at the same moment)
    Unsupported, // the installed aws tool has no conditional writes
    Failed,
};

// A claim as the bucket holds it.
struct StoredClaim {
    bool ok = false;    // the bucket answered
    bool found = false; // a claim is there
    QByteArray body;
    QString etag;
    QString lastModified; // as the tool prints it, for claims whose body says no time
    QString error;
};

// Claims on clips in the mirror's bucket: small objects beside the clips, written only when
// absent (or, to take one over, only while unchanged) through the aws tool.
class S3ClaimStore {
public:
    explicit S3ClaimStore(const S3Mirror& mirror) : mirror(mirror) {}

    // Writes `body` under `claimKey` when no object is there, or, with `ifMatch`, only while
    // the object there still has that ETag.
    void writeAsync(const QString& claimKey, const QByteArray& body, const QString& ifMatch,
                    QObject* context,
                    std::function<void(ClaimWrite outcome, const QString& error)> done) const;
    void readAsync(const QString& claimKey, QObject* context,
                   std::function<void(const StoredClaim&)> done) const;
    void removeAsync(const QString& claimKey, QObject* context,
                     std::function<void(bool ok, const QString& error)> done) const;
    // Removes the claims at once, all in parallel, waiting up to `timeoutMs` for them: for a
    // run that is stopping and has no event loop left to wait in.
    void removeNow(const QStringList& claimKeys, int timeoutMs) const;
    // The same for claims whose writing was cut short: each is removed only when it is there
    // and names `worker`, so that another worker's claim stays.
    void removeOwnNow(const QStringList& claimKeys, const QString& worker, int timeoutMs) const;

    // Whether a failed call is the tool's refusal of the conditional-write flags themselves.
    static bool isUnknownFlagAnswer(const QByteArray& errorOutput);
    // Whether a failed write is the bucket's answer that a claim is already there.
    static bool isTakenAnswer(int exitCode, const QByteArray& errorOutput);

private:
    const S3Mirror& mirror;
};

} // namespace lyrane
