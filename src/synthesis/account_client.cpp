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

#include <cmath>

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
        return fail(serviceText(reply->errorString(), apiKey));
    }
    const std::optional<AccountCredits> credits = parseAccountCredits(body);
    if (!credits) {
        return fail(QObject::tr("unexpected subscription answer"));
    }
    return credits;
}

std::optional<AccountCredits> parseAccountCredits(const QByteArray& body) {
    // Counts arrive as JSON numbers, that is doubles: beyond 2^53 they are no longer exact, and
    // beyond 2^63 they do not fit the integers they are turned into.
    constexpr double kLargestCount = 9007199254740992.0;
    const auto count = [](const QJsonValue& value) -> std::optional<qint64> {
        const double number = value.toDouble(-1);
        if (!value.isDouble() || !std::isfinite(number) || std::floor(number) != number ||
            number < 0 || number > kLargestCount) {
            return std::nullopt;
        }
        return qint64(number);
    };
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject account = document.object();
    const std::optional<qint64> used = count(account.value(QStringLiteral("character_count")));
    const std::optional<qint64> limit = count(account.value(QStringLiteral("character_limit")));
    if (!document.isObject() || !used || !limit) {
        return std::nullopt;
    }
    AccountCredits credits;
    credits.used = *used;
    credits.limit = *limit;
    credits.canExtend = account.value(QStringLiteral("can_extend_character_limit")).toBool();
    return credits;
}

void abortRequests(QNetworkAccessManager& manager) {
    // Replies are the manager's children until they are deleted.
    for (QNetworkReply* reply : manager.findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

} // namespace lyrane
