#pragma once

#include <QByteArray>
#include <QString>
#include <QUrlQuery>

#include <optional>

class QNetworkAccessManager;

namespace lyrane {

// Reads GET {baseUrl}{path}?{query} with the run's key and waits for the answer (at most
// `timeoutMs` without progress; 0 for no limit). The body on success; otherwise nothing, with the
// HTTP status and the service's reason (or the network's) in `error`, the key never shown.
std::optional<QByteArray> getAccountResource(QNetworkAccessManager* manager, const QString& baseUrl,
                                             const QString& path, const QString& apiKey,
                                             int timeoutMs, QString* error,
                                             const QUrlQuery& query = QUrlQuery());

} // namespace lyrane
