#pragma once

#include "synthesis/cost_estimate.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QNetworkAccessManager;

namespace lyrane {

// Reads GET {baseUrl}/v1/user/subscription with the run's key and waits for the answer (at most
// `timeoutMs` without progress; 0 for no limit). nullopt when it cannot be read, with the reason
// in `error` (keys may be scoped without the permission).
std::optional<AccountCredits> readAccountCredits(QNetworkAccessManager* manager,
                                                 const QString& baseUrl, const QString& apiKey,
                                                 int timeoutMs, QString* error);

// The counts of a subscription answer; nullopt unless both are whole numbers from 0 to 2^53, so
// that any sum or difference of them is exact.
std::optional<AccountCredits> parseAccountCredits(const QByteArray& body);

// Ends every request of `manager` still waiting for its answer: a read above then fails.
void abortRequests(QNetworkAccessManager& manager);

} // namespace lyrane
