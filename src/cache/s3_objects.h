#pragma once

#include "cache/clip_mirror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QObject;
class QTemporaryFile;

namespace lyrane {

// Which program talks to the bucket.
enum class S3ClientKind {
    AwsCli, // one aws CLI process per operation
    Http,   // requests from this process; the aws CLI gives the credentials, once a run
};

// Where the HTTP client puts the bucket's name: in the path or in the host name. Auto takes
// the path for an endpoint named by an address or "localhost", and for bucket names a host
// name cannot carry; otherwise the host.
enum class S3AddressingStyle { Auto, Path, Virtual };

struct S3ClientOptions {
    S3ClientKind kind = S3ClientKind::AwsCli;
    S3AddressingStyle addressing = S3AddressingStyle::Auto;
};

// What a conditional write came to.
enum class ObjectWrite {
    Written,
    Taken,       // the condition failed: an object is there, or it changed
    Unsupported, // the client cannot write conditionally; the error names what cannot
    Failed,
};

// A small object as the bucket holds it.
struct StoredObject {
    bool ok = false;    // the bucket answered
    bool found = false; // the object is there
    QByteArray body;    // its first kSmallObjectBytes
    QString etag;       // quoted, as the bucket gives it
    QString lastModified;
    QString error;
};

struct ListedObject {
    QString key;
    QByteArray etag; // without quotes
};

// The mirror's bucket (and key prefix) with every operation the clips, their claims and the
// take records need. Each asynchronous operation calls `done` once, from the event loop;
// ending `context` ends the operation and drops the callback.
class S3Objects : public ClipMirror {
public:
    // "bucket", "bucket/prefix" or "s3://bucket/prefix".
    explicit S3Objects(const QString& bucketSetting);

    bool isEnabled() const { return !bucket.isEmpty(); }
    QString bucketName() const { return bucket; }
    QString keyPrefix() const { return prefix; }
    QString objectKey(const QString& key, const QString& extension) const override;
    static QString normalizePrefix(const QString& prefix);

    // 0 means no limit; a call that makes no progress for longer fails as timed out.
    void setTimeoutMs(int ms) { timeoutMs = ms; }
    int callTimeoutMs() const { return timeoutMs; }

    // Whether the client can work at all, said in one line when not; asked once, before any
    // request.
    virtual bool prepare(QString* error) = 0;

    // Fetches the object into `path`, which the caller owns; an absent object is a failure.
    virtual void getFileAsync(const QString& key, const QString& path, QObject* context,
                              std::function<void(bool ok, const QString& error)> done) const = 0;
    // Writes `body` when no object is there, or with `ifMatch` only while the object there
    // still has that ETag.
    virtual void
    writeIfAsync(const QString& key, const QByteArray& body, const QString& contentType,
                 const QString& ifMatch, QObject* context,
                 std::function<void(ObjectWrite outcome, const QString& error)> done) const = 0;
    virtual void readAsync(const QString& key, QObject* context,
                           std::function<void(const StoredObject&)> done) const = 0;
    virtual void removeAsync(const QString& key, QObject* context,
                             std::function<void(bool ok, const QString& error)> done) const = 0;
    // Every object whose key starts with `keyPrefix`, over as many pages as the bucket gives.
    virtual void
    listAsync(const QString& keyPrefix, QObject* context,
              std::function<void(bool ok, const QList<ListedObject>& objects, const QString& error)>
                  done) const = 0;

    // For a run that is stopping and has no event loop left to wait in: all at once, waiting up
    // to `waitMs`. What could not be read comes back not ok.
    virtual QList<StoredObject> readNow(const QStringList& keys, int waitMs) const = 0;
    virtual void removeNow(const QStringList& keys, int waitMs) const = 0;

    static constexpr qint64 kSmallObjectBytes = 64 * 1024;

protected:
    // A whole download becomes the clip: readable by all, renamed into place.
    static bool moveIntoPlace(QTemporaryFile& partial, const QString& localPath, QString* error);

private:
    QString bucket;
    QString prefix;
    int timeoutMs = 0;
};

// The mirror named by `bucketSetting`, through the client `options` choose.
std::unique_ptr<S3Objects> makeS3Objects(const QString& bucketSetting,
                                         const S3ClientOptions& options);

} // namespace lyrane
