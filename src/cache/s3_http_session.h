#pragma once

#include "cache/aws_credentials.h"
#include "cache/curl_transfers.h"
#include "cache/s3_addressing.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QFileDevice;
class QIODevice;

namespace lyrane {

// One request to the bucket, before it is addressed and signed.
struct S3Call {
    QByteArray method = "GET";
    QString key;      // the object's key; null for the bucket itself
    QByteArray query; // for the bucket: already in canonical order
    QList<QByteArray> headers;
    QByteArray payloadHash;            // hex SHA-256 of the body; empty: no body
    std::shared_ptr<QIODevice> body;   // PUT
    std::shared_ptr<QFileDevice> sink; // receives a 2xx answer's body
    qint64 keepBytes = 1 << 20;
};

// A run's conversation with its bucket over HTTP: requests addressed, signed with credentials
// the aws CLI gives (asked again before they expire), sent many at a time over kept
// connections; failures of the moment tried again, and a bucket found in another region
// followed there.
class S3HttpSession {
public:
    S3HttpSession(QString aws, AwsProfile profile, S3Addressing addressing, int timeoutMs);
    ~S3HttpSession();

    // Calls `done` once from the event loop; ending `context` ends the call.
    void send(S3Call call, QObject* context, std::function<void(const HttpAnswer&)> done);
    // All at once, waiting up to `waitMs`, without the event loop: for a run that is stopping.
    QList<HttpAnswer> sendNow(const QList<S3Call>& calls, int waitMs);

    // What a failed answer is reported by: the service's status, code and message.
    static QString failure(const HttpAnswer& answer);
    static bool succeeded(const HttpAnswer& answer) {
        return answer.answered && answer.status >= 200 && answer.status < 300;
    }
    // A 404 for the object, not for the bucket.
    static bool isAbsent(const HttpAnswer& answer);

private:
    struct Attempt;
    HttpRequest request(const S3Call& call) const;
    void attempt(const std::shared_ptr<Attempt>& attempt);
    void answered(const std::shared_ptr<Attempt>& attempt, const HttpAnswer& answer);
    bool credentialsUsable() const;
    void refreshIfDue();
    void whenCredentialsReady(QObject* context, std::function<void(const QString& error)> go);

    QString aws;
    AwsCredentials credentials;
    S3Addressing addressing;
    int timeoutMs = 0;
    CurlTransfers transfers;
    // Refreshing the credentials: calls that cannot wait for new ones wait here.
    QObject refreshing;
    bool refreshRunning = false;
    QDateTime lastRefresh;
    QString refreshError;
    std::vector<std::function<void()>> waitingForCredentials;
};

} // namespace lyrane
