#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

class QObject;

namespace lyrane {

// Keys to sign requests with. Never printed.
struct AwsCredentials {
    QByteArray accessKeyId;
    QByteArray secretAccessKey;
    QByteArray sessionToken; // sent as x-amz-security-token when set
    QDateTime expiration;    // invalid: they do not expire
};

// What `aws configure export-credentials` printed, when it holds a key pair.
std::optional<AwsCredentials> readExportedCredentials(const QByteArray& output);

// What the HTTP client takes from the aws CLI's configuration, once a run, so that every way
// of configuring the CLI (profiles, SSO, instance and pod roles, environment) keeps working.
struct AwsProfile {
    AwsCredentials credentials;
    QString region;   // AWS_REGION, AWS_DEFAULT_REGION, the profile's, else us-east-1
    QString endpoint; // AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL or the profile's; empty: AWS's
};

// Asks the aws CLI at `aws` for the profile (the calls run side by side), each call waiting up
// to `timeoutMs` (0: no limit). Says in one line why not, credentials never in it.
std::optional<AwsProfile> loadAwsProfile(const QString& aws, int timeoutMs, QString* error);

// Asks the aws CLI for the credentials again, from the event loop; ending `context` ends it.
void refreshCredentialsAsync(
    const QString& aws, int timeoutMs, QObject* context,
    std::function<void(const std::optional<AwsCredentials>& credentials, const QString& error)>
        done);

} // namespace lyrane
