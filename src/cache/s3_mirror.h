#pragma once

#include "cache/aws_runner.h"
#include "cache/s3_objects.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// The mirror's bucket through the `aws` command-line tool: one child process per operation.
class S3Mirror final : public S3Objects {
public:
    using AwsResult = lyrane::AwsResult;

    explicit S3Mirror(const QString& bucketSetting);

    bool ensureAvailable(QString* error) const;
    bool prepare(QString* error) override { return ensureAvailable(error); }

    void
    existsAsync(const QString& objectKey, QObject* context,
                std::function<void(bool ok, bool found, const QString& error)> done) const override;
    void downloadIfExistsAsync(
        const QString& objectKey, const QString& localPath, QObject* context,
        std::function<void(bool ok, bool downloaded, const QString& error)> done) const override;
    void uploadFileAsync(const QString& objectKey, const QString& localPath,
                         const QString& contentType, QObject* context,
                         std::function<void(bool ok, const QString& error)> done) const override;

    void getFileAsync(const QString& key, const QString& path, QObject* context,
                      std::function<void(bool ok, const QString& error)> done) const override;
    void writeIfAsync(
        const QString& key, const QByteArray& body, const QString& contentType,
        const QString& ifMatch, QObject* context,
        std::function<void(ObjectWrite outcome, const QString& error)> done) const override;
    void readAsync(const QString& key, QObject* context,
                   std::function<void(const StoredObject&)> done) const override;
    void removeAsync(const QString& key, QObject* context,
                     std::function<void(bool ok, const QString& error)> done) const override;
    void
    listAsync(const QString& keyPrefix, QObject* context,
              std::function<void(bool ok, const QList<ListedObject>& objects, const QString& error)>
                  done) const override;
    QList<StoredObject> readNow(const QStringList& keys, int waitMs) const override;
    void removeNow(const QStringList& keys, int waitMs) const override;

    // Whether a failed head-object call is the mirror's answer that the object is absent.
    static bool isAbsentAnswer(int exitCode, const QByteArray& errorOutput);
    // Whether a failed call is the tool's refusal of the conditional-write flags themselves.
    static bool isUnknownFlagAnswer(const QByteArray& errorOutput);
    // Whether a failed conditional write is the bucket's answer that the condition failed.
    static bool isTakenAnswer(int exitCode, const QByteArray& errorOutput);

    QString awsExecutable() const { return awsPath; }

private:
    // Starts the tool as a child process and calls `done` once, from the event loop, when it
    // has finished. `context` bounds the callback's lifetime.
    void runAwsAsync(const QList<QString>& arguments, QObject* context,
                     std::function<void(const AwsResult&)> done) const;
    QList<QString> objectArguments(const char* operation, const QString& key) const;

    QString awsPath;
};

} // namespace lyrane
