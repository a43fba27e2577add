#pragma once

#include "service_answer.h"
#include "subtitles/lexicon.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace lyrane::speechd {

// One entry of a request's pronunciation_dictionary_locators; an empty version means the latest.
struct DictionaryLocator {
    QString id;
    QString version;
};

// A dictionary the service was started with. Its id and version are digests of its file, so
// the same file is always the same dictionary.
struct LoadedDictionary {
    QString id;
    QString version;
    QString name;
    std::shared_ptr<const Lexicon> lexicon;
};

std::optional<LoadedDictionary> loadDictionary(const QString& path, QString* error);

// Reads a body's pronunciation_dictionary_locators (at most three) and apply_text_normalization
// ("auto", "on" or "off"); an answer refusing the body when they are malformed.
std::optional<Answer> readPronunciationFields(const QJsonObject& body,
                                              QList<DictionaryLocator>* locators,
                                              QString* normalization);

// `text` with the aliases of each asked dictionary applied, in order; an answer when one of
// them is not among `loaded`.
std::optional<Answer> applyDictionaries(const QList<LoadedDictionary>& loaded,
                                        const QList<DictionaryLocator>& asked, QString* text);

// The body of GET /v1/pronunciation-dictionaries.
QJsonObject dictionaryListJson(const QList<LoadedDictionary>& loaded);

} // namespace lyrane::speechd
