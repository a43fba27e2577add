#include "synthesis/account_dictionaries.h"

#include "synthesis/account_request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QUrlQuery>

#include <algorithm>

namespace lyrane {

namespace {

// A page of the list and the cursor of the next one (empty on the last).
struct DictionaryPage {
    QList<AccountDictionary> dictionaries;
    QString nextCursor;
};

std::optional<DictionaryPage> parsePage(const QByteArray& body) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    const QJsonValue list = document.object().value(QStringLiteral("pronunciation_dictionaries"));
    if (parseError.error != QJsonParseError::NoError || !document.isObject() || !list.isArray()) {
        return std::nullopt;
    }
    DictionaryPage page;
    for (const QJsonValue& entry : list.toArray()) {
        const QJsonObject object = entry.toObject();
        AccountDictionary dictionary{object.value(QStringLiteral("id")).toString(),
                                     object.value(QStringLiteral("name")).toString(),
                                     object.value(QStringLiteral("latest_version_id")).toString()};
        if (!dictionary.id.isEmpty()) {
            page.dictionaries.append(dictionary);
        }
    }
    if (document.object().value(QStringLiteral("has_more")).toBool()) {
        page.nextCursor = document.object().value(QStringLiteral("next_cursor")).toString();
    }
    return page;
}

} // namespace

std::optional<QList<AccountDictionary>> parseAccountDictionaries(const QByteArray& body) {
    const std::optional<DictionaryPage> page = parsePage(body);
    if (!page) {
        return std::nullopt;
    }
    return page->dictionaries;
}

std::optional<QList<AccountDictionary>> fetchAccountDictionaries(QNetworkAccessManager* manager,
                                                                 const QString& baseUrl,
                                                                 const QString& apiKey,
                                                                 int timeoutMs, QString* error) {
    // A service that repeats its cursor must not keep the listing going for ever.
    constexpr int kMaxPages = 1000;
    QList<AccountDictionary> dictionaries;
    QString cursor;
    for (int pages = 0; pages < kMaxPages; ++pages) {
        QUrlQuery query;
        if (!cursor.isEmpty()) {
            query.addQueryItem(QStringLiteral("cursor"), cursor);
        }
        const std::optional<QByteArray> body =
            getAccountResource(manager, baseUrl, QStringLiteral("/v1/pronunciation-dictionaries"),
                               apiKey, timeoutMs, error, query);
        if (!body) {
            return std::nullopt;
        }
        const std::optional<DictionaryPage> page = parsePage(*body);
        if (!page) {
            *error = QObject::tr("the answer is not a list of pronunciation dictionaries");
            return std::nullopt;
        }
        dictionaries.append(page->dictionaries);
        if (page->nextCursor.isEmpty() || page->nextCursor == cursor) {
            break;
        }
        cursor = page->nextCursor;
    }
    return dictionaries;
}

QString accountDictionaryListing(QList<AccountDictionary> dictionaries) {
    std::stable_sort(dictionaries.begin(), dictionaries.end(),
                     [](const AccountDictionary& a, const AccountDictionary& b) {
                         return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
                     });
    QString listing;
    for (const AccountDictionary& dictionary : dictionaries) {
        listing += dictionary.name + QLatin1String("  ") + dictionary.id + QLatin1String("  ") +
                   dictionary.latestVersion + QLatin1Char('\n');
    }
    return listing;
}

} // namespace lyrane
