#include "synthesis/account_request.h"

#include "synthesis/service_errors.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

namespace lyrane {

std::optional<QByteArray> getAccountResource(QNetworkAccessManager* manager, const QString& baseUrl,
                                             const QString& path, const QString& apiKey,
                                             int timeoutMs, QString* error,
                                             const QUrlQuery& query) {
    QUrl url(baseUrl);
    url.setPath(url.path() + path);
    if (!query.isEmpty()) {
        url.setQuery(query);
    }
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("xi-api-key", apiKey.toUtf8());
    request.setTransferTimeout(timeoutMs);

    QNetworkReply* reply = manager->get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        loop.exec();
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    const bool failed = reply->error() != QNetworkReply::NoError;
    const QString reason = reply->errorString();
    reply->deleteLater();
    if (failed) {
        *error = status != 0
                     ? QObject::tr("HTTP %1: %2").arg(status).arg(refusalText(status, body, apiKey))
                     : serviceText(reason, apiKey);
        return std::nullopt;
    }
    return body;
}

} // namespace lyrane
