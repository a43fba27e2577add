#include "pronunciation_dictionaries.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QObject>

#include <algorithm>

namespace lyrane::speechd {

namespace {

constexpr qsizetype kMaxLocators = 3;

QString digest(const QByteArray& bytes, QCryptographicHash::Algorithm algorithm) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, algorithm).toHex().left(20));
}

} // namespace

std::optional<LoadedDictionary> loadDictionary(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QObject::tr("Cannot read dictionary %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    QStringList notices;
    std::optional<Lexicon> lexicon = parseLexicon(QString::fromUtf8(bytes), path, error, &notices);
    if (!lexicon)
        return std::nullopt;
    return LoadedDictionary{
        digest(bytes, QCryptographicHash::Md5), digest(bytes, QCryptographicHash::Sha1),
        QFileInfo(path).completeBaseName(), std::make_shared<const Lexicon>(std::move(*lexicon))};
}

std::optional<Answer> readPronunciationFields(const QJsonObject& body,
                                              QList<DictionaryLocator>* locators,
                                              QString* normalization) {
    const QString locatorsName = QStringLiteral("pronunciation_dictionary_locators");
    const QJsonValue list = body.value(locatorsName);
    if (!list.isUndefined() && !list.isNull()) {
        if (!list.isArray())
            return validationAnswer({locatorsName}, QStringLiteral("Input should be a valid list"),
                                    "list_type", list);
        if (list.toArray().size() > kMaxLocators)
            return validationAnswer({locatorsName},
                                    QStringLiteral("List should have at most 3 items"), "too_long",
                                    list);
        for (const QJsonValue& entry : list.toArray()) {
            const QJsonObject object = entry.toObject();
            const QJsonValue id = object.value(QStringLiteral("pronunciation_dictionary_id"));
            const QJsonValue version = object.value(QStringLiteral("version_id"));
            if (!id.isString() ||
                !(version.isUndefined() || version.isNull() || version.isString()))
                return validationAnswer({locatorsName},
                                        QStringLiteral("Each locator needs a string "
                                                       "pronunciation_dictionary_id"),
                                        "model_attributes_type", entry);
            locators->append({id.toString(), version.toString()});
        }
    }
    const QString normalizationName = QStringLiteral("apply_text_normalization");
    const QJsonValue mode = body.value(normalizationName);
    if (mode.isUndefined() || mode.isNull())
        return std::nullopt;
    const QString text = mode.toString();
    if (!mode.isString() || (text != QLatin1String("auto") && text != QLatin1String("on") &&
                             text != QLatin1String("off")))
        return validationAnswer({normalizationName},
                                QStringLiteral("Input should be 'auto', 'on' or 'off'"), "enum",
                                mode);
    *normalization = text;
    return std::nullopt;
}

std::optional<Answer> applyDictionaries(const QList<LoadedDictionary>& loaded,
                                        const QList<DictionaryLocator>& asked, QString* text) {
    for (const DictionaryLocator& locator : asked) {
        const auto found =
            std::find_if(loaded.begin(), loaded.end(), [&locator](const LoadedDictionary& d) {
                return d.id == locator.id &&
                       (locator.version.isEmpty() || d.version == locator.version);
            });
        if (found == loaded.end())
            return errorAnswer(400, "pronunciation_dictionary_not_found",
                               QStringLiteral("Pronunciation dictionary %1 (version %2) does not "
                                              "exist.")
                                   .arg(locator.id, locator.version.isEmpty()
                                                        ? QStringLiteral("latest")
                                                        : locator.version));
        *text = applyLexicon(*found->lexicon, *text);
    }
    return std::nullopt;
}

QJsonObject dictionaryListJson(const QList<LoadedDictionary>& loaded) {
    QJsonArray list;
    for (const LoadedDictionary& dictionary : loaded)
        list.append(QJsonObject{{QStringLiteral("id"), dictionary.id},
                                {QStringLiteral("name"), dictionary.name},
                                {QStringLiteral("latest_version_id"), dictionary.version}});
    return QJsonObject{{QStringLiteral("pronunciation_dictionaries"), list},
                       {QStringLiteral("has_more"), false},
                       {QStringLiteral("next_cursor"), QJsonValue::Null}};
}

} // namespace lyrane::speechd
