#include "cache/s3_mirror.h"

#include "cache/aws_runner.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

} // namespace

S3Mirror::S3Mirror(const QString& bucketSetting) {
    QString rest = bucketSetting.trimmed();
    if (rest.startsWith(QLatin1String("s3://"))) {
        rest = rest.mid(5);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        bucket = rest.left(slash).trimmed();
        prefix = normalizePrefix(rest.mid(slash + 1).trimmed());
    } else {
        bucket = rest;
    }
    if (!bucket.isEmpty()) {
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

QString S3Mirror::objectKey(const QString& key, const QString& extension) const {
    return prefix + key + extension;
}

QString S3Mirror::normalizePrefix(const QString& prefix) {
    if (prefix.isEmpty() || prefix.endsWith(QLatin1Char('/'))) {
        return prefix;
    }
    return prefix + QLatin1Char('/');
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

void S3Mirror::runAwsAsync(const QList<QString>& arguments, QObject* context,
                           std::function<void(const AwsResult&)> done) const {
    runAws(awsPath.isEmpty() ? QStringLiteral("aws") : awsPath, arguments, timeoutMs, context,
           std::move(done));
}

void S3Mirror::existsAsync(
    const QString& objectKey, QObject* context,
    std::function<void(bool ok, bool found, const QString& error)> done) const {
    QString error;
    if (!ensureAvailable(&error)) {
        postToEventLoop(context, [done, error] { done(false, false, error); });
        return;
    }
    const QList<QString> arguments{QStringLiteral("s3api"),    QStringLiteral("head-object"),
                                   QStringLiteral("--bucket"), bucket,
                                   QStringLiteral("--key"),    objectKey};
    runAwsAsync(arguments, context, [done](const AwsResult& result) {
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
            const QList<QString> arguments{QStringLiteral("s3api"),
                                           QStringLiteral("get-object"),
                                           QStringLiteral("--bucket"),
                                           self.bucket,
                                           QStringLiteral("--key"),
                                           objectKey,
                                           partialPath};
            self.runAwsAsync(
                arguments, guard.data(),
                [partial, partialPath, localPath, done](const AwsResult& result) {
                    if (!result.ok) {
                        partial->remove();
                        done(false, false, result.error);
                        return;
                    }
                    QFile::setPermissions(partialPath, QFile::ReadOwner | QFile::WriteOwner |
                                                           QFile::ReadGroup | QFile::ReadOther);
                    if (std::rename(QFile::encodeName(partialPath).constData(),
                                    QFile::encodeName(localPath).constData()) != 0) {
                        const QString message =
                            QObject::tr("failed to move downloaded file to %1: %2")
                                .arg(localPath, QString::fromLocal8Bit(std::strerror(errno)));
                        partial->remove();
                        done(false, false, message);
                        return;
                    }
                    partial->setAutoRemove(false);
                    done(true, true, QString());
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
    QList<QString> arguments{QStringLiteral("s3api"),    QStringLiteral("put-object"),
                             QStringLiteral("--bucket"), bucket,
                             QStringLiteral("--key"),    objectKey,
                             QStringLiteral("--body"),   localPath};
    if (!contentType.isEmpty()) {
        arguments << QStringLiteral("--content-type") << contentType;
    }
    runAwsAsync(arguments, context,
                [done](const AwsResult& result) { done(result.ok, result.error); });
}

} // namespace lyrane
