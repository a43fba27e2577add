#include "cache/http_s3_mirror.h"

#include "cache/aws_credentials.h"
#include "cache/aws_runner.h"
#include "cache/s3_answers.h"
#include "cache/s3_http_session.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <utility>

namespace lyrane {

namespace {

constexpr qint64 kListingPageBytes = 16 << 20;

QByteArray header(const char* name, const QByteArray& value) {
    return QByteArray(name) + ": " + value;
}

// A body read from a device, with the digests S3 checks it by.
struct Payload {
    std::shared_ptr<QIODevice> device;
    QByteArray md5Base64;
    QByteArray sha256Hex;
};

bool digest(std::shared_ptr<QIODevice> device, Payload* payload) {
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    char chunk[64 * 1024];
    for (qint64 read = 0; (read = device->read(chunk, sizeof chunk)) != 0;) {
        if (read < 0) {
            return false;
        }
        md5.addData(QByteArrayView(chunk, read));
        sha256.addData(QByteArrayView(chunk, read));
    }
    payload->device = std::move(device);
    payload->md5Base64 = md5.result().toBase64();
    payload->sha256Hex = sha256.result().toHex();
    return true;
}

S3Call putCall(const QString& key, const Payload& payload, const QString& contentType) {
    S3Call call;
    call.method = "PUT";
    call.key = key;
    call.body = payload.device;
    call.payloadHash = payload.sha256Hex;
    call.headers.append(header("Content-MD5", payload.md5Base64));
    if (!contentType.isEmpty()) {
        call.headers.append(header("Content-Type", contentType.toUtf8()));
    }
    return call;
}

S3Call objectCall(const QByteArray& method, const QString& key) {
    S3Call call;
    call.method = method;
    call.key = key;
    return call;
}

StoredObject storedObject(const HttpAnswer& answer) {
    StoredObject object;
    if (S3HttpSession::succeeded(answer)) {
        object.ok = true;
        object.found = true;
        object.body = answer.body;
        object.etag = QString::fromLatin1(answer.headers.value("etag"));
        object.lastModified = QString::fromLatin1(answer.headers.value("last-modified"));
    } else if (S3HttpSession::isAbsent(answer)) {
        object.ok = true;
    } else {
        object.error = S3HttpSession::failure(answer);
    }
    return object;
}

} // namespace

HttpS3Mirror::HttpS3Mirror(const QString& bucketSetting, S3AddressingStyle addressing)
    : S3Objects(bucketSetting), addressing(addressing) {}

HttpS3Mirror::~HttpS3Mirror() = default;

bool HttpS3Mirror::prepare(QString* error) {
    if (!isEnabled()) {
        return true;
    }
    const QString aws = QStandardPaths::findExecutable(QStringLiteral("aws"));
    if (aws.isEmpty()) {
        *error = QObject::tr("aws CLI not found in PATH; install AWS CLI v2 or unset --s3-bucket");
        return false;
    }
    std::optional<AwsProfile> profile = loadAwsProfile(aws, callTimeoutMs(), error);
    if (!profile) {
        return false;
    }
    S3Addressing place(bucketName(), profile->region, profile->endpoint, addressing);
    if (!place.isValid()) {
        *error = place.problem();
        return false;
    }
    session = std::make_unique<S3HttpSession>(aws, std::move(*profile), std::move(place),
                                              callTimeoutMs());
    return true;
}

bool HttpS3Mirror::ready(QObject* context,
                         const std::function<void(const QString&)>& refuse) const {
    if (session) {
        return true;
    }
    postToEventLoop(context, [refuse] { refuse(QObject::tr("the S3 client is not ready")); });
    return false;
}

void HttpS3Mirror::existsAsync(
    const QString& objectKey, QObject* context,
    std::function<void(bool ok, bool found, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(false, false, error); })) {
        return;
    }
    session->send(objectCall("HEAD", objectKey), context, [done](const HttpAnswer& answer) {
        if (S3HttpSession::succeeded(answer)) {
            done(true, true, QString());
        } else if (S3HttpSession::isAbsent(answer)) {
            done(true, false, QString());
        } else {
            done(false, false, S3HttpSession::failure(answer));
        }
    });
}

void HttpS3Mirror::downloadIfExistsAsync(
    const QString& objectKey, const QString& localPath, QObject* context,
    std::function<void(bool ok, bool downloaded, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(false, false, error); })) {
        return;
    }
    // One request: the answer goes beside the clip and is renamed into place only when whole,
    // so a failed or stopped download never leaves a partial clip.
    auto partial = std::make_shared<QTemporaryFile>(localPath + QStringLiteral(".s3-XXXXXX"));
    if (!partial->open()) {
        const QString message = QObject::tr("failed to create temporary file for %1: %2")
                                    .arg(localPath, partial->errorString());
        postToEventLoop(context, [done, message] { done(false, false, message); });
        return;
    }
    S3Call call = objectCall("GET", objectKey);
    call.sink = partial;
    session->send(std::move(call), context, [partial, localPath, done](const HttpAnswer& answer) {
        if (S3HttpSession::succeeded(answer)) {
            QString error;
            const bool moved = moveIntoPlace(*partial, localPath, &error);
            done(moved, moved, error);
            return;
        }
        partial->remove();
        if (S3HttpSession::isAbsent(answer)) {
            done(true, false, QString());
        } else {
            done(false, false, S3HttpSession::failure(answer));
        }
    });
}

void HttpS3Mirror::uploadFileAsync(const QString& objectKey, const QString& localPath,
                                   const QString& contentType, QObject* context,
                                   std::function<void(bool ok, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(false, error); })) {
        return;
    }
    auto file = std::make_shared<QFile>(localPath);
    Payload payload;
    if (!file->open(QIODevice::ReadOnly) || !digest(file, &payload)) {
        const QString message =
            QObject::tr("failed to read %1: %2").arg(localPath, file->errorString());
        postToEventLoop(context, [done, message] { done(false, message); });
        return;
    }
    session->send(putCall(objectKey, payload, contentType), context,
                  [done](const HttpAnswer& answer) {
                      const bool ok = S3HttpSession::succeeded(answer);
                      done(ok, ok ? QString() : S3HttpSession::failure(answer));
                  });
}

void HttpS3Mirror::getFileAsync(const QString& key, const QString& path, QObject* context,
                                std::function<void(bool ok, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(false, error); })) {
        return;
    }
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString message = file->errorString();
        postToEventLoop(context, [done, message] { done(false, message); });
        return;
    }
    S3Call call = objectCall("GET", key);
    call.sink = file;
    session->send(std::move(call), context, [file, done](const HttpAnswer& answer) {
        file->close();
        const bool ok = S3HttpSession::succeeded(answer);
        done(ok, ok ? QString() : S3HttpSession::failure(answer));
    });
}

void HttpS3Mirror::writeIfAsync(
    const QString& key, const QByteArray& body, const QString& contentType, const QString& ifMatch,
    QObject* context, std::function<void(ObjectWrite outcome, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(ObjectWrite::Failed, error); })) {
        return;
    }
    auto buffer = std::make_shared<QBuffer>();
    buffer->setData(body);
    buffer->open(QIODevice::ReadOnly);
    Payload payload;
    digest(buffer, &payload);
    S3Call call = putCall(key, payload, contentType);
    call.headers.append(ifMatch.isEmpty() ? QByteArray("If-None-Match: *")
                                          : header("If-Match", ifMatch.toUtf8()));
    session->send(std::move(call), context, [done](const HttpAnswer& answer) {
        if (S3HttpSession::succeeded(answer)) {
            done(ObjectWrite::Written, QString());
        } else if (answer.answered && (answer.status == 412 || answer.status == 409)) {
            // 412: the condition failed; 409: another conditional write to the key was going on.
            done(ObjectWrite::Taken, QString());
        } else if (answer.answered && answer.status == 501) {
            done(ObjectWrite::Unsupported,
                 QObject::tr("The S3 server cannot write conditionally (If-None-Match)"));
        } else {
            done(ObjectWrite::Failed, S3HttpSession::failure(answer));
        }
    });
}

void HttpS3Mirror::readAsync(const QString& key, QObject* context,
                             std::function<void(const StoredObject&)> done) const {
    if (!ready(context, [done](const QString& error) {
            StoredObject failed;
            failed.error = error;
            done(failed);
        })) {
        return;
    }
    S3Call call = objectCall("GET", key);
    call.keepBytes = kSmallObjectBytes;
    session->send(std::move(call), context,
                  [done](const HttpAnswer& answer) { done(storedObject(answer)); });
}

void HttpS3Mirror::removeAsync(const QString& key, QObject* context,
                               std::function<void(bool ok, const QString& error)> done) const {
    if (!ready(context, [done](const QString& error) { done(false, error); })) {
        return;
    }
    session->send(objectCall("DELETE", key), context, [done](const HttpAnswer& answer) {
        const bool ok = S3HttpSession::succeeded(answer) || S3HttpSession::isAbsent(answer);
        done(ok, ok ? QString() : S3HttpSession::failure(answer));
    });
}

void HttpS3Mirror::listAsync(
    const QString& keyPrefix, QObject* context,
    std::function<void(bool ok, const QList<ListedObject>& objects, const QString& error)> done)
    const {
    if (!ready(context, [done](const QString& error) { done(false, {}, error); })) {
        return;
    }
    listFrom(keyPrefix, QString(), std::make_shared<QList<ListedObject>>(), context,
             std::move(done));
}

void HttpS3Mirror::listFrom(
    const QString& keyPrefix, const QString& token, std::shared_ptr<QList<ListedObject>> found,
    QObject* context,
    std::function<void(bool, const QList<ListedObject>&, const QString&)> done) const {
    S3Call call;
    // The parameters in the order they are signed in.
    if (!token.isEmpty()) {
        call.query = "continuation-token=" + S3Addressing::percentEncoded(token, false) + '&';
    }
    call.query += "list-type=2&prefix=" + S3Addressing::percentEncoded(keyPrefix, false);
    call.keepBytes = kListingPageBytes;
    session->send(std::move(call), context,
                  [this, keyPrefix, found, context, done](const HttpAnswer& answer) {
                      if (!S3HttpSession::succeeded(answer)) {
                          done(false, {}, S3HttpSession::failure(answer));
                          return;
                      }
                      const ListingPage page = readListingPage(answer.body);
                      if (!page.ok) {
                          done(false, {},
                               QObject::tr("S3 answered a listing that does not read as one"));
                          return;
                      }
                      found->append(page.objects);
                      if (page.truncated) {
                          listFrom(keyPrefix, page.nextToken, found, context, done);
                      } else {
                          done(true, *found, QString());
                      }
                  });
}

QList<StoredObject> HttpS3Mirror::readNow(const QStringList& keys, int waitMs) const {
    QList<S3Call> calls;
    for (const QString& key : keys) {
        calls.append(objectCall("GET", key));
        calls.back().keepBytes = kSmallObjectBytes;
    }
    QList<StoredObject> objects;
    if (!session) {
        return QList<StoredObject>(keys.size());
    }
    for (const HttpAnswer& answer : session->sendNow(calls, waitMs)) {
        objects.append(storedObject(answer));
    }
    return objects;
}

void HttpS3Mirror::removeNow(const QStringList& keys, int waitMs) const {
    QList<S3Call> calls;
    for (const QString& key : keys) {
        calls.append(objectCall("DELETE", key));
    }
    if (session && !calls.isEmpty()) {
        session->sendNow(calls, waitMs);
    }
}

} // namespace lyrane
