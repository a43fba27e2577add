#include "synthesis_request.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace lyrane::speechd {

namespace {

constexpr double kMinSpeed = 0.7;
constexpr double kMaxSpeed = 1.2;
constexpr qint64 kMaxSeed = 4294967295LL;

Answer invalidRequest(const QString& message) {
    return errorAnswer(400, "invalid_request", message);
}

// Checks a number field against [minimum, maximum]; returns the refusal, or nothing when fine.
std::optional<Answer> checkRange(const QStringList& location, const QJsonValue& value,
                                 double minimum, double maximum) {
    const double number = value.toDouble();
    if (!(number >= minimum))
        return validationAnswer(
            location, QStringLiteral("Input should be greater than or equal to %1").arg(minimum),
            "greater_than_equal", value);
    if (!(number <= maximum))
        return validationAnswer(
            location, QStringLiteral("Input should be less than or equal to %1").arg(maximum),
            "less_than_equal", value);
    return std::nullopt;
}

std::optional<Answer> readFraction(const QJsonObject& settings, const char* name,
                                   std::optional<double>* out) {
    const QJsonValue value = settings.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const QStringList location{QStringLiteral("voice_settings"), QLatin1String(name)};
    if (!value.isDouble())
        return validationAnswer(location, QStringLiteral("Input should be a valid number"),
                                "float_type", value);
    if (std::optional<Answer> refusal = checkRange(location, value, 0.0, 1.0))
        return refusal;
    *out = value.toDouble();
    return std::nullopt;
}

std::optional<Answer> readOptionalString(const QJsonObject& body, const char* name, QString* out) {
    const QJsonValue value = body.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        return validationAnswer({QLatin1String(name)},
                                QStringLiteral("Input should be a valid string"), "string_type",
                                value);
    *out = value.toString();
    return std::nullopt;
}

std::optional<Answer> readVoiceSettings(const QJsonValue& value, VoiceSettings* settings) {
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject())
        return validationAnswer({QStringLiteral("voice_settings")},
                                QStringLiteral("Input should be a valid dictionary"), "dict_type",
                                value);
    const QJsonObject object = value.toObject();

    // A speed that is no positive number makes a malformed request.
    const QJsonValue speed = object.value(QStringLiteral("speed"));
    if (!speed.isUndefined() && !speed.isNull()) {
        if (!speed.isDouble() || !(speed.toDouble() > 0.0))
            return invalidRequest(
                QObject::tr("\"voice_settings.speed\" must be a positive number"));
        if (std::optional<Answer> refusal =
                checkRange({QStringLiteral("voice_settings"), QStringLiteral("speed")}, speed,
                           kMinSpeed, kMaxSpeed))
            return refusal;
        settings->speed = speed.toDouble();
    }
    for (const auto& [name, field] : {std::pair{"stability", &settings->stability},
                                      std::pair{"similarity_boost", &settings->similarityBoost},
                                      std::pair{"style", &settings->style}}) {
        if (std::optional<Answer> refusal = readFraction(object, name, field))
            return refusal;
    }
    const QJsonValue boost = object.value(QStringLiteral("use_speaker_boost"));
    if (!boost.isUndefined() && !boost.isNull()) {
        if (!boost.isBool())
            return validationAnswer(
                {QStringLiteral("voice_settings"), QStringLiteral("use_speaker_boost")},
                QStringLiteral("Input should be a valid boolean"), "bool_type", boost);
        settings->speakerBoost = boost.toBool();
    }
    return std::nullopt;
}

std::optional<Answer> readSeed(const QJsonValue& value, std::optional<qint64>* seed) {
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const double number = value.toDouble();
    if (!value.isDouble() || number != std::floor(number) || !std::isfinite(number))
        return validationAnswer({QStringLiteral("seed")},
                                QStringLiteral("Input should be a valid integer"), "int_type",
                                value);
    if (std::optional<Answer> refusal =
            checkRange({QStringLiteral("seed")}, value, 0.0, double(kMaxSeed)))
        return refusal;
    *seed = static_cast<qint64>(number);
    return std::nullopt;
}

} // namespace

ParsedRequest parseSynthesisRequest(const QByteArray& bytes) {
    const auto refuse = [](Answer answer) {
        return ParsedRequest{std::nullopt, std::move(answer)};
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(
            invalidRequest(QObject::tr("malformed JSON body: %1").arg(parseError.errorString())));
    if (!document.isObject())
        return refuse(invalidRequest(QObject::tr("the JSON body is not an object")));
    const QJsonObject body = document.object();

    SynthesisRequest request;
    const QJsonValue text = body.value(QStringLiteral("text"));
    if (!text.isString() || text.toString().trimmed().isEmpty())
        return refuse(invalidRequest(QObject::tr("\"text\" must be a non-empty string")));
    request.text = text.toString();

    QString modelId;
    if (std::optional<Answer> refusal = readOptionalString(body, "model_id", &modelId))
        return refuse(*refusal);
    if (!modelId.isEmpty()) {
        const std::optional<ModelRules> model = findModel(modelId);
        if (!model)
            return refuse(errorAnswer(
                400, "model_not_found",
                QStringLiteral("A model with model ID %1 does not exist.").arg(modelId)));
        request.model = *model;
    }
    for (const auto& [name, field] : {std::pair{"language_code", &request.languageCode},
                                      std::pair{"previous_text", &request.previousText},
                                      std::pair{"next_text", &request.nextText}}) {
        if (std::optional<Answer> refusal = readOptionalString(body, name, field))
            return refuse(*refusal);
    }
    if (std::optional<Answer> refusal =
            readVoiceSettings(body.value(QStringLiteral("voice_settings")), &request.settings))
        return refuse(*refusal);
    if (std::optional<Answer> refusal = readSeed(body.value(QStringLiteral("seed")), &request.seed))
        return refuse(*refusal);
    if (std::optional<Answer> refusal =
            readPronunciationFields(body, &request.dictionaries, &request.textNormalization))
        return refuse(*refusal);
    return {std::move(request), {}};
}

qint64 characterCount(const QString& text) {
    qint64 count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!(text.at(i).isHighSurrogate() && i + 1 < text.size() &&
              text.at(i + 1).isLowSurrogate()))
            ++count;
    }
    return count;
}

VoiceProfile styledVoice(const VoiceProfile& voice, const SynthesisRequest& request) {
    const VoiceSettings& settings = request.settings;
    VoiceProfile styled = voice;
    double range = voice.range;
    int pitch = voice.pitch;
    // Less stable voices swing their pitch further; more style lifts and widens it.
    if (settings.stability)
        range *= 1.6 - 1.2 * *settings.stability;
    if (settings.style) {
        range *= 1.0 + 0.5 * *settings.style;
        pitch += static_cast<int>(std::lround(12.0 * *settings.style));
    }
    // Low similarity lets the voice drift away from its own pitch.
    if (settings.similarityBoost)
        pitch += static_cast<int>(std::lround(16.0 * (0.75 - *settings.similarityBoost)));
    // Each seed is its own take: one of seven small pitch offsets.
    if (request.seed)
        pitch += static_cast<int>(*request.seed % 7) - 3;
    styled.pitch = std::clamp(pitch, 0, 100);
    styled.range = std::clamp(static_cast<int>(std::lround(range)), 0, 100);
    if (settings.speakerBoost.value_or(false))
        styled.volume = 130;

    // The voice's own variant in the asked language, where the model takes a language; a
    // language espeak-ng does not know falls back to the voice's own.
    static const QRegularExpression languagePattern(QStringLiteral("^[a-z]{2,3}$"));
    if (request.model.usesLanguageCode && languagePattern.match(request.languageCode).hasMatch()) {
        const QByteArray language = request.languageCode.toLatin1();
        const qsizetype plus = voice.espeakName.indexOf('+');
        const QByteArray voiceLanguage =
            voice.espeakName.left(plus < 0 ? voice.espeakName.size() : plus);
        // A voice already speaking that language (en-us for en) keeps its accent.
        if (voiceLanguage != language && !voiceLanguage.startsWith(language + '-')) {
            styled.espeakName = language + (plus < 0 ? QByteArray() : voice.espeakName.mid(plus));
            styled.fallbackName = voice.espeakName;
        }
    }
    return styled;
}

} // namespace lyrane::speechd
