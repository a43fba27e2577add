#include "cache/s3_claims.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QTemporaryFile>

#include <memory>
#include <vector>

namespace lyrane {

bool S3ClaimStore::isUnknownFlagAnswer(const QByteArray& errorOutput) {
    // Both major lines of the tool answer a flag they do not know with this line.
    const QString text = QString::fromUtf8(errorOutput);
    return text.contains(QLatin1String("Unknown options")) && text.contains(QLatin1String("--if-"));
}

bool S3ClaimStore::isTakenAnswer(int exitCode, const QByteArray& errorOutput) {
    if (exitCode != 254 && exitCode != 255) {
        return false;
    }
    // 412: the condition failed; 409: another conditional write to the key was in progress.
    const QString text = QString::fromUtf8(errorOutput);
    return text.contains(QLatin1String("(PreconditionFailed)")) ||
           text.contains(QLatin1String("(412)")) ||
           text.contains(QLatin1String("(ConditionalRequestConflict)")) ||
           text.contains(QLatin1String("(409)"));
}

void S3ClaimStore::writeAsync(
    const QString& claimKey, const QByteArray& body, const QString& ifMatch, QObject* context,
    std::function<void(ClaimWrite outcome, const QString& error)> done) const {
    auto file = std::make_shared<QTemporaryFile>();
    if (!file->open() || file->write(body) != body.size() || !file->flush()) {
        const QString message =
            QObject::tr("failed to write a claim to a temporary file: %1").arg(file->errorString());
        postToEventLoop(context, [done, message] { done(ClaimWrite::Failed, message); });
        return;
    }
    QList<QString> arguments{QStringLiteral("s3api"),          QStringLiteral("put-object"),
                             QStringLiteral("--bucket"),       mirror.bucketName(),
                             QStringLiteral("--key"),          claimKey,
                             QStringLiteral("--body"),         file->fileName(),
                             QStringLiteral("--content-type"), QStringLiteral("application/json")};
    if (ifMatch.isEmpty()) {
        arguments << QStringLiteral("--if-none-match") << QStringLiteral("*");
    } else {
        arguments << QStringLiteral("--if-match") << ifMatch;
    }
    mirror.runAwsAsync(arguments, context, [file, done](const AwsResult& result) {
        if (result.ok) {
            done(ClaimWrite::Written, QString());
        } else if (result.completed && isUnknownFlagAnswer(result.errorOutput)) {
            done(ClaimWrite::Unsupported, QString());
        } else if (result.completed && isTakenAnswer(result.exitCode, result.errorOutput)) {
            done(ClaimWrite::Taken, QString());
        } else {
            done(ClaimWrite::Failed, result.error);
        }
    });
}

void S3ClaimStore::readAsync(const QString& claimKey, QObject* context,
                             std::function<void(const StoredClaim&)> done) const {
    auto file = std::make_shared<QTemporaryFile>();
    if (!file->open()) {
        StoredClaim claim;
        claim.error = QObject::tr("failed to create a temporary file for a claim: %1")
                          .arg(file->errorString());
        postToEventLoop(context, [done, claim] { done(claim); });
        return;
    }
    file->close();
    const QList<QString> arguments{
        QStringLiteral("s3api"), QStringLiteral("get-object"), QStringLiteral("--bucket"),
        mirror.bucketName(),     QStringLiteral("--key"),      claimKey,
        file->fileName()};
    mirror.runAwsAsync(arguments, context, [file, done](const AwsResult& result) {
        StoredClaim claim;
        if (!result.ok) {
            // A claim removed since it was seen is the common case, not a failure.
            const bool absent =
                result.completed &&
                (S3Mirror::isAbsentAnswer(result.exitCode, result.errorOutput) ||
                 QString::fromUtf8(result.errorOutput).contains(QLatin1String("(NoSuchKey)")));
            claim.ok = absent;
            claim.error = absent ? QString() : result.error;
            done(claim);
            return;
        }
        const QJsonObject answer = QJsonDocument::fromJson(result.standardOutput).object();
        claim.ok = true;
        claim.found = true;
        claim.etag = answer.value(QStringLiteral("ETag")).toString();
        claim.lastModified = answer.value(QStringLiteral("LastModified")).toString();
        if (file->open()) {
            claim.body = file->read(64 * 1024);
        }
        done(claim);
    });
}

void S3ClaimStore::removeAsync(const QString& claimKey, QObject* context,
                               std::function<void(bool ok, const QString& error)> done) const {
    const QList<QString> arguments{QStringLiteral("s3api"),    QStringLiteral("delete-object"),
                                   QStringLiteral("--bucket"), mirror.bucketName(),
                                   QStringLiteral("--key"),    claimKey};
    mirror.runAwsAsync(arguments, context,
                       [done](const AwsResult& result) { done(result.ok, result.error); });
}

void S3ClaimStore::removeNow(const QStringList& claimKeys, int timeoutMs) const {
    std::vector<std::unique_ptr<QProcess>> calls;
    for (const QString& claimKey : claimKeys) {
        auto process = std::make_unique<QProcess>();
        // A claim left behind expires; a stopping run has nothing to add about it.
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start(mirror.awsExecutable(),
                       {QStringLiteral("s3api"), QStringLiteral("delete-object"),
                        QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--key"),
                        claimKey});
        process->closeWriteChannel();
        calls.push_back(std::move(process));
    }
    for (const auto& process : calls) {
        if (!process->waitForFinished(timeoutMs)) {
            process->kill();
            process->waitForFinished(1000);
        }
    }
}

void S3ClaimStore::removeOwnNow(const QStringList& claimKeys, const QString& worker,
                                int timeoutMs) const {
    std::vector<std::unique_ptr<QProcess>> reads;
    std::vector<std::unique_ptr<QTemporaryFile>> bodies;
    QStringList keys; // those read, in the order of `reads`
    for (const QString& claimKey : claimKeys) {
        auto body = std::make_unique<QTemporaryFile>();
        if (!body->open()) {
            continue;
        }
        body->close();
        auto process = std::make_unique<QProcess>();
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start(mirror.awsExecutable(),
                       {QStringLiteral("s3api"), QStringLiteral("get-object"),
                        QStringLiteral("--bucket"), mirror.bucketName(), QStringLiteral("--key"),
                        claimKey, body->fileName()});
        process->closeWriteChannel();
        reads.push_back(std::move(process));
        bodies.push_back(std::move(body));
        keys.append(claimKey);
    }
    QStringList ours;
    for (size_t i = 0; i < reads.size(); ++i) {
        QProcess& read = *reads[i];
        if (!read.waitForFinished(timeoutMs)) {
            read.kill();
            read.waitForFinished(1000);
            continue;
        }
        if (read.exitStatus() != QProcess::NormalExit || read.exitCode() != 0 ||
            !bodies[i]->open()) {
            continue;
        }
        const QJsonObject claim = QJsonDocument::fromJson(bodies[i]->read(64 * 1024)).object();
        if (claim.value(QStringLiteral("worker")).toString() == worker) {
            ours.append(keys[qsizetype(i)]);
        }
    }
    removeNow(ours, timeoutMs);
}

} // namespace lyrane
