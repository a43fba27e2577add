#pragma once

#include "synthesis/models.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QJsonObject;

namespace lyrane {

// A pronunciation dictionary of the account; an empty version means its latest.
struct DictionaryLocator {
    QString id;
    QString version;
};

// The optional parts of a synthesis request besides text, context, voice and speed.
struct VoiceSettings {
    QString modelId = QString::fromLatin1(kDefaultModelId);
    QString languageCode; // empty: not sent
    std::optional<double> stability;
    std::optional<double> similarityBoost;
    std::optional<double> style;
    bool useSpeakerBoost = false; // sent only when true
    std::optional<quint32> seed;
    QList<DictionaryLocator> dictionaries; // applied in order; empty: none sent
    QString textNormalization;             // "auto", "on" or "off"; empty: not sent

    // The default model and none of the settings: the request is what it always was.
    bool isDefault() const;
};

// The option values as given; nullopt (or false) where an option is absent.
struct VoiceSettingArguments {
    std::optional<QString> model;            // --model
    std::optional<QString> modelEnvironment; // LYRANE_MODEL; blank counts as absent
    std::optional<QString> language;         // --language
    std::optional<QString> stability;        // --stability
    std::optional<QString> similarity;       // --similarity
    std::optional<QString> style;            // --style
    std::optional<QString> seed;             // --seed
    bool speakerBoost = false;               // --speaker-boost
    QStringList dictionaries;                // --pronunciation-dictionary, each as given
    std::optional<QString> normalize;        // --normalize
};

// Checks every value before any request. On failure `error` holds the message; a model that is
// well formed but unknown is accepted with a line in `warning`. Both lines end in "\n".
std::optional<VoiceSettings> parseVoiceSettings(const VoiceSettingArguments& arguments,
                                                QString* error, QString* warning);

// What the clip cache key covers beyond today's recipe: empty for default settings, otherwise
// "|model_id=<model>" followed by "|<field>=<value>" for each setting that is set, in the
// order language_code, stability, similarity_boost, style, use_speaker_boost, seed,
// pronunciation_dictionary_locators (each "id" or "id:version", joined by ","),
// apply_text_normalization.
QString cacheKeySettingsPart(const VoiceSettings& settings);

// The content key of a clip: the MD5, in lower-case hex, of the UTF-8 of text, previous text,
// next text, voice identifier, speed with two decimals and cacheKeySettingsPart(); a take
// after the first adds "|take=<n>" to that, so take 1 keeps the key it always had.
QString clipCacheKey(const QString& text, const QString& previousText, const QString& nextText,
                     const QString& voiceId, double speed, const VoiceSettings& settings,
                     int take = 1);

// Adds model_id, language_code, voice_settings (with speed when it is not 1.0) and seed to a
// request body, each as the service names it and only where set; model_id is always sent.
// So are pronunciation_dictionary_locators and apply_text_normalization.
void addVoiceSettingsToBody(QJsonObject* body, double speed, const VoiceSettings& settings);

} // namespace lyrane
