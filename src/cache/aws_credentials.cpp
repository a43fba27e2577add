#include "cache/aws_credentials.h"

#include "cache/aws_runner.h"
#include "cache/printable_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QProcess>

#include <memory>

namespace lyrane {

namespace {

const QStringList kExportArguments{QStringLiteral("configure"),
                                   QStringLiteral("export-credentials"), QStringLiteral("--format"),
                                   QStringLiteral("process")};

QString environment(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name)).trimmed();
}

// Why the export failed, in one line.
QString exportFailure(bool completed, int exitCode, const QByteArray& errorOutput) {
    QString reason;
    const QString text = QString::fromUtf8(errorOutput);
    if (!completed) {
        reason = QObject::tr("aws CLI timed out");
    } else if (text.contains(QLatin1String("Invalid choice"))) {
        reason = QObject::tr("this aws CLI cannot export credentials (AWS CLI v2 can)");
    } else {
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            if (!line.trimmed().isEmpty()) {
                reason = printableText(line.trimmed(), 300);
                break;
            }
        }
        if (reason.isEmpty()) {
            reason = QObject::tr("aws CLI exited with code %1").arg(exitCode);
        }
    }
    return QObject::tr("cannot get S3 credentials from the aws CLI (aws configure "
                       "export-credentials): %1")
        .arg(reason);
}

std::unique_ptr<QProcess> startAws(const QString& aws, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(aws, arguments);
    process->closeWriteChannel();
    return process;
}

// Waits for the call; false when it did not run to its end in time.
bool awaitAws(QProcess& process, int timeoutMs) {
    if (!process.waitForFinished(timeoutMs > 0 ? timeoutMs : -1)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit;
}

// A setting the profile holds, or empty.
QString profileSetting(QProcess* process, int timeoutMs) {
    if (!process || !awaitAws(*process, timeoutMs) || process->exitCode() != 0) {
        return QString();
    }
    return QString::fromUtf8(process->readAllStandardOutput()).trimmed();
}

} // namespace

std::optional<AwsCredentials> readExportedCredentials(const QByteArray& output) {
    const QJsonObject answer = QJsonDocument::fromJson(output).object();
    AwsCredentials credentials;
    credentials.accessKeyId = answer.value(QLatin1String("AccessKeyId")).toString().toUtf8();
    credentials.secretAccessKey =
        answer.value(QLatin1String("SecretAccessKey")).toString().toUtf8();
    credentials.sessionToken = answer.value(QLatin1String("SessionToken")).toString().toUtf8();
    const QString expiration = answer.value(QLatin1String("Expiration")).toString();
    if (!expiration.isEmpty()) {
        credentials.expiration = QDateTime::fromString(expiration, Qt::ISODateWithMs);
        if (!credentials.expiration.isValid()) {
            credentials.expiration = QDateTime::fromString(expiration, Qt::ISODate);
        }
        if (!credentials.expiration.isValid()) {
            return std::nullopt;
        }
    }
    if (credentials.accessKeyId.isEmpty() || credentials.secretAccessKey.isEmpty()) {
        return std::nullopt;
    }
    return credentials;
}

std::optional<AwsProfile> loadAwsProfile(const QString& aws, int timeoutMs, QString* error) {
    AwsProfile profile;
    profile.region = environment("AWS_REGION");
    if (profile.region.isEmpty()) {
        profile.region = environment("AWS_DEFAULT_REGION");
    }
    const bool ignoreEndpoints =
        environment("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS").toLower() == QLatin1String("true");
    if (!ignoreEndpoints) {
        profile.endpoint = environment("AWS_ENDPOINT_URL_S3");
        if (profile.endpoint.isEmpty()) {
            profile.endpoint = environment("AWS_ENDPOINT_URL");
        }
    }
    // Side by side: each call costs the CLI's start.
    const std::unique_ptr<QProcess> exported = startAws(aws, kExportArguments);
    const std::unique_ptr<QProcess> region =
        profile.region.isEmpty() ? startAws(aws, {QStringLiteral("configure"),
                                                  QStringLiteral("get"), QStringLiteral("region")})
                                 : nullptr;
    const std::unique_ptr<QProcess> endpoint =
        profile.endpoint.isEmpty() && !ignoreEndpoints
            ? startAws(aws, {QStringLiteral("configure"), QStringLiteral("get"),
                             QStringLiteral("endpoint_url")})
            : nullptr;

    const bool completed = awaitAws(*exported, timeoutMs);
    const std::optional<AwsCredentials> credentials =
        completed && exported->exitCode() == 0
            ? readExportedCredentials(exported->readAllStandardOutput())
            : std::nullopt;
    if (region) {
        profile.region = profileSetting(region.get(), timeoutMs);
    }
    if (endpoint) {
        profile.endpoint = profileSetting(endpoint.get(), timeoutMs);
    }
    if (!credentials) {
        if (completed && exported->exitCode() == 0) {
            *error = QObject::tr("cannot get S3 credentials from the aws CLI (aws configure "
                                 "export-credentials): it printed no key pair");
        } else {
            *error =
                exportFailure(completed, exported->exitCode(), exported->readAllStandardError());
        }
        return std::nullopt;
    }
    profile.credentials = *credentials;
    if (profile.region.isEmpty()) {
        profile.region = QStringLiteral("us-east-1");
    }
    return profile;
}

void refreshCredentialsAsync(
    const QString& aws, int timeoutMs, QObject* context,
    std::function<void(const std::optional<AwsCredentials>& credentials, const QString& error)>
        done) {
    runAws(aws, kExportArguments, timeoutMs, context, [done](const AwsResult& result) {
        const std::optional<AwsCredentials> credentials =
            result.ok ? readExportedCredentials(result.standardOutput) : std::nullopt;
        done(credentials,
             credentials ? QString()
                         : exportFailure(result.completed, result.exitCode, result.errorOutput));
    });
}

} // namespace lyrane
