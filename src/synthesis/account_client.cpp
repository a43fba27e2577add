#include "synthesis/account_client.h"

#include "synthesis/service_errors.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

#include <memory>

namespace lyrane {

std::optional<AccountCredits> readAccountCredits(QNetworkAccessManager* manager,
                                                 const QString& baseUrl, const QString& apiKey,
                                                 int timeoutMs, QString* error) {
    const auto fail = [error](const QString& reason) -> std::optional<AccountCredits> {
        if (error) {
            *error = reason;
        }
        return std::nullopt;
    };
    if (!manager) {
        return fail(QObject::tr("no network access manager"));
    }
    QNetworkRequest request(QUrl(baseUrl + QStringLiteral("/v1/user/subscription")));
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("xi-api-key", apiKey.toUtf8());
    request.setTransferTimeout(timeoutMs);
    const std::unique_ptr<QNetworkReply> reply(manager->get(request));
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        if (status != 0) {
            const ServiceError refusal = parseServiceError(status, body, apiKey);
            return fail(QObject::tr("HTTP %1").arg(status) + serviceErrorDetail(refusal));
        }
        return fail(withoutSecret(reply->errorString(), apiKey));
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    const QJsonObject account = document.object();
    const QJsonValue used = account.value(QStringLiteral("character_count"));
    const QJsonValue limit = account.value(QStringLiteral("character_limit"));
    if (!document.isObject() || !used.isDouble() || !limit.isDouble()) {
        return fail(QObject::tr("unexpected subscription answer"));
    }
    AccountCredits credits;
    credits.used = qint64(used.toDouble());
    credits.limit = qint64(limit.toDouble());
    credits.canExtend = account.value(QStringLiteral("can_extend_character_limit")).toBool();
    return credits;
}

} // namespace lyrane
