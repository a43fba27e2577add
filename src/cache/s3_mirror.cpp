#include "cache/s3_mirror.h"

#include "cache/aws_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <memory>
#include <utility>
#include <vector>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

// Starts a call that a stopping run waits for without an event loop; its output is not read.
std::unique_ptr<QProcess> startQuietly(const QString& program, const QList<QString>& arguments) {
    auto process = std::make_unique<QProcess>();
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
    process->closeWriteChannel();
    return process;
}

bool finishedWithin(QProcess& process, int waitMs) {
    if (!process.waitForFinished(waitMs)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

S3Mirror::S3Mirror(const QString& bucketSetting) : S3Objects(bucketSetting) {
    if (isEnabled()) {
        awsPath = QStandardPaths::findExecutable(QStringLiteral("aws"));
    }
}

bool S3Mirror::ensureAvailable(QString* error) const {
    if (isEnabled() && awsPath.isEmpty()) {
        setError(error,
                 QObject::tr("aws CLI not found in PATH; install AWS CLI v2 or unset --s3-bucket"));
        return false;
    }
    return true;
}

bool S3Mirror::isAbsentAnswer(int exitCode, const QByteArray& errorOutput) {
    // The tool ends with 254 (version 2) or 255 (version 1) when the service refused the call;
    // HeadObject's own "no such object" answer, or "Not Found" in any letter case, means absent.
    // Anything else, such as a "404" in an endpoint's address, is a failure to report.
    if (exitCode != 254 && exitCode != 255) {
        return false;
    }
    static const QRegularExpression answer(
        QStringLiteral("An error occurred \\((?:404|NoSuchKey|NotFound)\\) when calling the "
                       "HeadObject operation"));
    const QString text = QString::fromUtf8(errorOutput);
    return answer.match(text).hasMatch() ||
           text.contains(QLatin1String("not found"), Qt::CaseInsensitive);
}

bool S3Mirror::isUnknownFlagAnswer(const QByteArray& errorOutput) {
    // Both major lines of the tool answer a flag they do not know with this line.
    const QString text = QString::fromUtf8(errorOutput);
    return text.contains(QLatin1String("Unknown options")) && text.contains(QLatin1String("--if-"));
}

bool S3Mirror::isTakenAnswer(int exitCode, const QByteArray& errorOutput) {
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

void S3Mirror::runAwsAsync(const QList<QString>& arguments, QObject* context,
                           std::function<void(const AwsResult&)> done) const {
    runAws(awsPath.isEmpty() ? QStringLiteral("aws") : awsPath, arguments, callTimeoutMs(), context,
           std::move(done));
}

QList<QString> S3Mirror::objectArguments(const char* operation, const QString& key) const {
    return {QStringLiteral("s3api"),    QLatin1String(operation),
            QStringLiteral("--bucket"), bucketName(),
            QStringLiteral("--key"),    key};
}

void S3Mirror::existsAsync(
    const QString& objectKey, QObject* context,
    std::function<void(bool ok, bool found, const QString& error)> done) const {
    QString error;
    if (!ensureAvailable(&error)) {
        postToEventLoop(context, [done, error] { done(false, false, error); });
        return;
    }
    runAwsAsync(
        objectArguments("head-object", objectKey), context, [done](const AwsResult& result) {
            if (result.ok) {
                done(true, true, QString());
            } else if (result.completed && isAbsentAnswer(result.exitCode, result.errorOutput)) {
                done(true, false, QString());
            } else {
                done(false, false, result.error);
            }
        });
}

void S3Mirror::downloadIfExistsAsync(
    const QString& objectKey, const QString& localPath, QObject* context,
    std::function<void(bool ok, bool downloaded, const QString& error)> done) const {
    const S3Mirror self = *this;
    QPointer<QObject> guard(context);
    const bool hadContext = context != nullptr;
    existsAsync(
        objectKey, context,
        [self, objectKey, localPath, guard, hadContext, done](bool ok, bool found,
                                                              const QString& error) {
            if (!ok) {
                done(false, false, error);
                return;
            }
            if (!found) {
                done(true, false, QString());
                return;
            }
            if (hadContext && !guard) {
                return;
            }
            // The tool writes beside the clip and the result is renamed into place only when it
            // succeeded, so a failed or interrupted download never leaves a partial clip.
            auto partial =
                std::make_shared<QTemporaryFile>(localPath + QStringLiteral(".s3-XXXXXX"));
            if (!partial->open()) {
                const QString message = QObject::tr("failed to create temporary file for %1: %2")
                                            .arg(localPath, partial->errorString());
                postToEventLoop(guard.data(), [done, message] { done(false, false, message); });
                return;
            }
            const QString partialPath = partial->fileName();
            partial->close();
            self.runAwsAsync(self.objectArguments("get-object", objectKey) << partialPath,
                             guard.data(), [partial, localPath, done](const AwsResult& result) {
                                 if (!result.ok) {
                                     partial->remove();
                                     done(false, false, result.error);
                                     return;
                                 }
                                 QString message;
                                 const bool moved = moveIntoPlace(*partial, localPath, &message);
                                 done(moved, moved, message);
                             });
        });
}

void S3Mirror::uploadFileAsync(const QString& objectKey, const QString& localPath,
                               const QString& contentType, QObject* context,
                               std::function<void(bool ok, const QString& error)> done) const {
    QString error;
    if (!ensureAvailable(&error)) {
        postToEventLoop(context, [done, error] { done(false, error); });
        return;
    }
    QList<QString> arguments = objectArguments("put-object", objectKey);
    arguments << QStringLiteral("--body") << localPath;
    if (!contentType.isEmpty()) {
        arguments << QStringLiteral("--content-type") << contentType;
    }
    runAwsAsync(arguments, context,
                [done](const AwsResult& result) { done(result.ok, result.error); });
}

void S3Mirror::getFileAsync(const QString& key, const QString& path, QObject* context,
                            std::function<void(bool ok, const QString& error)> done) const {
    runAwsAsync(objectArguments("get-object", key) << path, context,
                [done](const AwsResult& got) { done(got.ok, got.error); });
}

void S3Mirror::writeIfAsync(
    const QString& key, const QByteArray& body, const QString& contentType, const QString& ifMatch,
    QObject* context, std::function<void(ObjectWrite outcome, const QString& error)> done) const {
    auto file = std::make_shared<QTemporaryFile>();
    if (!file->open() || file->write(body) != body.size() || !file->flush()) {
        const QString message =
            QObject::tr("failed to write a claim to a temporary file: %1").arg(file->errorString());
        postToEventLoop(context, [done, message] { done(ObjectWrite::Failed, message); });
        return;
    }
    QList<QString> arguments = objectArguments("put-object", key);
    arguments << QStringLiteral("--body") << file->fileName();
    if (!contentType.isEmpty()) {
        arguments << QStringLiteral("--content-type") << contentType;
    }
    if (ifMatch.isEmpty()) {
        arguments << QStringLiteral("--if-none-match") << QStringLiteral("*");
    } else {
        arguments << QStringLiteral("--if-match") << ifMatch;
    }
    runAwsAsync(arguments, context, [file, done](const AwsResult& result) {
        if (result.ok) {
            done(ObjectWrite::Written, QString());
        } else if (result.completed && isUnknownFlagAnswer(result.errorOutput)) {
            done(ObjectWrite::Unsupported,
                 QObject::tr("The aws CLI cannot write conditionally (--if-none-match)"));
        } else if (result.completed && isTakenAnswer(result.exitCode, result.errorOutput)) {
            done(ObjectWrite::Taken, QString());
        } else {
            done(ObjectWrite::Failed, result.error);
        }
    });
}

void S3Mirror::readAsync(const QString& key, QObject* context,
                         std::function<void(const StoredObject&)> done) const {
    auto file = std::make_shared<QTemporaryFile>();
    if (!file->open()) {
        StoredObject object;
        object.error = QObject::tr("failed to create a temporary file for a claim: %1")
                           .arg(file->errorString());
        postToEventLoop(context, [done, object] { done(object); });
        return;
    }
    file->close();
    runAwsAsync(
        objectArguments("get-object", key) << file->fileName(), context,
        [file, done](const AwsResult& result) {
            StoredObject object;
            if (!result.ok) {
                // An object removed since it was seen is the common case, not a failure.
                const bool absent =
                    result.completed &&
                    (isAbsentAnswer(result.exitCode, result.errorOutput) ||
                     QString::fromUtf8(result.errorOutput).contains(QLatin1String("(NoSuchKey)")));
                object.ok = absent;
                object.error = absent ? QString() : result.error;
                done(object);
                return;
            }
            const QJsonObject answer = QJsonDocument::fromJson(result.standardOutput).object();
            object.ok = true;
            object.found = true;
            object.etag = answer.value(QStringLiteral("ETag")).toString();
            object.lastModified = answer.value(QStringLiteral("LastModified")).toString();
            if (file->open()) {
                object.body = file->read(kSmallObjectBytes);
            }
            done(object);
        });
}

void S3Mirror::removeAsync(const QString& key, QObject* context,
                           std::function<void(bool ok, const QString& error)> done) const {
    runAwsAsync(objectArguments("delete-object", key), context,
                [done](const AwsResult& result) { done(result.ok, result.error); });
}

void S3Mirror::listAsync(
    const QString& keyPrefix, QObject* context,
    std::function<void(bool ok, const QList<ListedObject>& objects, const QString& error)> done)
    const {
    // The tool follows the listing's pages itself and prints them as one.
    runAwsAsync(
        {QStringLiteral("s3api"), QStringLiteral("list-objects-v2"), QStringLiteral("--bucket"),
         bucketName(), QStringLiteral("--prefix"), keyPrefix, QStringLiteral("--output"),
         QStringLiteral("json")},
        context, [done](const AwsResult& listed) {
            if (!listed.ok) {
                done(false, {}, listed.error);
                return;
            }
            QList<ListedObject> objects;
            const QJsonArray contents = QJsonDocument::fromJson(listed.standardOutput)
                                            .object()
                                            .value(QLatin1String("Contents"))
                                            .toArray();
            for (const QJsonValue& entry : contents) {
                const QJsonObject object = entry.toObject();
                QString etag = object.value(QLatin1String("ETag")).toString();
                etag.remove(QLatin1Char('"'));
                objects.append({object.value(QLatin1String("Key")).toString(), etag.toLatin1()});
            }
            done(true, objects, QString());
        });
}

QList<StoredObject> S3Mirror::readNow(const QStringList& keys, int waitMs) const {
    std::vector<std::unique_ptr<QProcess>> reads;
    std::vector<std::unique_ptr<QTemporaryFile>> bodies;
    for (const QString& key : keys) {
        auto body = std::make_unique<QTemporaryFile>();
        const bool made = body->open();
        body->close();
        reads.push_back(
            made ? startQuietly(awsPath, objectArguments("get-object", key) << body->fileName())
                 : nullptr);
        bodies.push_back(std::move(body));
    }
    QList<StoredObject> objects;
    for (size_t i = 0; i < reads.size(); ++i) {
        StoredObject object;
        if (reads[i] && finishedWithin(*reads[i], waitMs) && bodies[i]->open()) {
            object.ok = true;
            object.found = true;
            object.body = bodies[i]->read(kSmallObjectBytes);
        }
        objects.append(object);
    }
    return objects;
}

void S3Mirror::removeNow(const QStringList& keys, int waitMs) const {
    std::vector<std::unique_ptr<QProcess>> calls;
    for (const QString& key : keys) {
        calls.push_back(startQuietly(awsPath, objectArguments("delete-object", key)));
    }
    for (const auto& process : calls) {
        finishedWithin(*process, waitMs);
    }
}

} // namespace lyrane
