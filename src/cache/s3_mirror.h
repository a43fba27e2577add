#pragma once

#include "cache/aws_runner.h"
#include "cache/clip_mirror.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// Mirrors the clip cache into an S3 bucket through the `aws` command-line tool.
class S3Mirror final : public ClipMirror {
public:
    using AwsResult = lyrane::AwsResult;

    explicit S3Mirror(const QString& bucketSetting);

    bool isEnabled() const { return !bucket.isEmpty(); }
    bool ensureAvailable(QString* error) const;
    QString objectKey(const QString& key, const QString& extension) const override;

    void
    existsAsync(const QString& objectKey, QObject* context,
                std::function<void(bool ok, bool found, const QString& error)> done) const override;
    void downloadIfExistsAsync(
        const QString& objectKey, const QString& localPath, QObject* context,
        std::function<void(bool ok, bool downloaded, const QString& error)> done) const override;
    void uploadFileAsync(const QString& objectKey, const QString& localPath,
                         const QString& contentType, QObject* context,
                         std::function<void(bool ok, const QString& error)> done) const override;

    // 0 means no limit; an invocation that runs longer is ended and reports a time-out.
    void setTimeoutMs(int ms) { timeoutMs = ms; }
    int callTimeoutMs() const { return timeoutMs; }

    static QString normalizePrefix(const QString& prefix);
    // Whether a failed head-object call is the mirror's answer that the object is absent.
    static bool isAbsentAnswer(int exitCode, const QByteArray& errorOutput);

    QString bucketName() const { return bucket; }
    QString keyPrefix() const { return prefix; }
    QString awsExecutable() const { return awsPath; }

private:
    friend class S3ClaimStore;
    friend class TakeRecordStore;
    // Each operation starts the tool as a child process and calls `done` once,
    // from the event loop, when it has finished. `context` bounds the callback's lifetime.
    void runAwsAsync(const QList<QString>& arguments, QObject* context,
                     std::function<void(const AwsResult&)> done) const;

    QString bucket;
    QString prefix;
    QString awsPath;
    int timeoutMs = 0;
};

} // namespace lyrane
