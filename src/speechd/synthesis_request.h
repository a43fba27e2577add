#pragma once

#include "pronunciation_dictionaries.h"
#include "service_answer.h"
#include "service_rules.h"
#include "speech_engine.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane::speechd {

// The voice settings of one request; unset ones keep the voice as it is.
struct VoiceSettings {
    std::optional<double> stability;       // 0 to 1
    std::optional<double> similarityBoost; // 0 to 1
    std::optional<double> style;           // 0 to 1
    std::optional<bool> speakerBoost;
    std::optional<double> speed; // 0.7 to 1.2
};

// The body of one text-to-speech request, checked as the service checks it.
struct SynthesisRequest {
    QString text;
    ModelRules model = defaultModel();
    QString languageCode; // empty when not given
    VoiceSettings settings;
    std::optional<qint64> seed; // 0 to 4294967295
    QString previousText;
    QString nextText;
    QList<DictionaryLocator> dictionaries; // pronunciation_dictionary_locators, in order
    QString textNormalization;             // apply_text_normalization; empty when not given
};

// The request, or the service's answer refusing the body.
struct ParsedRequest {
    std::optional<SynthesisRequest> request;
    Answer refusal;
};

ParsedRequest parseSynthesisRequest(const QByteArray& body);

// Characters of the text as the service counts them (Unicode code points).
qint64 characterCount(const QString& text);

// `voice` as the request's settings, seed and language make it sound. Settings at the
// service's defaults (stability 0.5, similarity 0.75, style 0, no boost) leave it unchanged.
VoiceProfile styledVoice(const VoiceProfile& voice, const SynthesisRequest& request);

} // namespace lyrane::speechd
