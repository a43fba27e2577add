#pragma once

#include "cache/s3_objects.h"

#include <QString>

#include <memory>

namespace lyrane {

class S3HttpSession;

// The mirror's bucket over HTTP from this process (libcurl, AWS Signature Version 4): many
// requests in flight on the event loop over kept connections, and no process per object. The
// aws CLI is asked only for the credentials, region and endpoint, once a run (and for fresh
// credentials before they expire).
class HttpS3Mirror final : public S3Objects {
public:
    HttpS3Mirror(const QString& bucketSetting, S3AddressingStyle addressing);
    ~HttpS3Mirror() override;

    bool prepare(QString* error) override;

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

private:
    // False, said from the event loop, before prepare() succeeded.
    bool ready(QObject* context, const std::function<void(const QString&)>& refuse) const;
    void listFrom(const QString& keyPrefix, const QString& token,
                  std::shared_ptr<QList<ListedObject>> found, QObject* context,
                  std::function<void(bool, const QList<ListedObject>&, const QString&)> done) const;

    S3AddressingStyle addressing;
    std::unique_ptr<S3HttpSession> session;
};

} // namespace lyrane
