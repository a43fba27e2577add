#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class QNetworkAccessManager;

namespace lyrane {

// One pronunciation dictionary of the account, as GET /v1/pronunciation-dictionaries lists it.
struct AccountDictionary {
    QString id;
    QString name;
    QString latestVersion;
};

// Reads the body of that list; nothing when it is not the service's list.
std::optional<QList<AccountDictionary>> parseAccountDictionaries(const QByteArray& body);

// Asks the service for the account's dictionaries, following its pages, and waits for them.
std::optional<QList<AccountDictionary>> fetchAccountDictionaries(QNetworkAccessManager* manager,
                                                                 const QString& baseUrl,
                                                                 const QString& apiKey,
                                                                 int timeoutMs, QString* error);

// The --list-dictionaries listing: "Name  id  latest_version" a line, sorted by name (letter
// case ignored).
QString accountDictionaryListing(QList<AccountDictionary> dictionaries);

} // namespace lyrane
