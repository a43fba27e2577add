#include "synthesis/voice_settings.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QObject>
#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <tuple>

namespace lyrane {

namespace {

void setMessage(QString* target, const QString& message) {
    if (target) {
        *target = message;
    }
}

// The shortest decimal form that reads back to the same number, as the request body writes it:
// 0.5, 0.75, 1. Keys thus follow what is sent, whatever way the value was typed.
QString numberText(double value) {
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool isLanguageCode(const QString& value) {
    static const QRegularExpression shape(QStringLiteral("^[a-z]{2,3}$"));
    return shape.match(value).hasMatch();
}

std::optional<double> unitInterval(const QString& value) {
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !(number >= 0.0 && number <= 1.0)) {
        return std::nullopt;
    }
    return number + 0.0; // -0 becomes 0
}

constexpr qsizetype kMaxDictionaries = 3;

// "ID" or "ID:VERSION", the identifier being 20 ASCII letters and digits as the service's are.
std::optional<DictionaryLocator> parseDictionaryLocator(const QString& value) {
    static const QRegularExpression shape(
        QStringLiteral("^([A-Za-z0-9]{20})(?::([A-Za-z0-9]+))?$"));
    const QRegularExpressionMatch match = shape.match(value.trimmed());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return DictionaryLocator{match.captured(1), match.captured(2)};
}

} // namespace

bool VoiceSettings::isDefault() const {
    return modelId == QLatin1String(kDefaultModelId) && languageCode.isEmpty() && !stability &&
           !similarityBoost && !style && !useSpeakerBoost && !seed && dictionaries.isEmpty() &&
           textNormalization.isEmpty();
}

std::optional<VoiceSettings> parseVoiceSettings(const VoiceSettingArguments& arguments,
                                                QString* error, QString* warning) {
    VoiceSettings settings;
    setMessage(warning, QString());

    // --model wins over the environment; a blank environment value means the default.
    const bool fromOption = arguments.model.has_value();
    const QString model = fromOption ? arguments.model->trimmed()
                                     : arguments.modelEnvironment.value_or(QString()).trimmed();
    if (fromOption || !model.isEmpty()) {
        if (checkModelId(model) == ModelIdCheck::Invalid) {
            setMessage(
                error,
                QObject::tr("%1 must be a model identifier of lower-case letters, digits "
                            "and underscores, such as eleven_multilingual_v2\n")
                    .arg(fromOption ? QStringLiteral("--model") : QStringLiteral("LYRANE_MODEL")));
            return std::nullopt;
        }
        if (checkModelId(model) == ModelIdCheck::Unknown) {
            setMessage(warning, unknownModelWarning(model));
        }
        settings.modelId = model;
    }

    if (arguments.language) {
        if (!isLanguageCode(*arguments.language)) {
            setMessage(error, QObject::tr("--language must be two or three lower-case letters\n"));
            return std::nullopt;
        }
        settings.languageCode = *arguments.language;
    }

    for (const auto& [value, target, message] :
         {std::tuple{&arguments.stability, &settings.stability,
                     QT_TRANSLATE_NOOP("QObject", "--stability must be between 0 and 1\n")},
          std::tuple{&arguments.similarity, &settings.similarityBoost,
                     QT_TRANSLATE_NOOP("QObject", "--similarity must be between 0 and 1\n")},
          std::tuple{&arguments.style, &settings.style,
                     QT_TRANSLATE_NOOP("QObject", "--style must be between 0 and 1\n")}}) {
        if (!*value) {
            continue;
        }
        *target = unitInterval(**value);
        if (!*target) {
            setMessage(error, QObject::tr(message));
            return std::nullopt;
        }
    }

    if (arguments.seed) {
        bool ok = false;
        const qulonglong seed = arguments.seed->toULongLong(&ok, 10);
        if (!ok || seed > std::numeric_limits<quint32>::max()) {
            setMessage(error, QObject::tr("--seed must be between 0 and 4294967295\n"));
            return std::nullopt;
        }
        settings.seed = quint32(seed);
    }

    if (arguments.dictionaries.size() > kMaxDictionaries) {
        setMessage(error, QObject::tr("--pronunciation-dictionary may be given at most three "
                                      "times\n"));
        return std::nullopt;
    }
    for (const QString& value : arguments.dictionaries) {
        const std::optional<DictionaryLocator> locator = parseDictionaryLocator(value);
        if (!locator) {
            setMessage(error, QObject::tr("--pronunciation-dictionary must be an ID of 20 letters "
                                          "and digits, optionally followed by :VERSION: %1\n")
                                  .arg(value));
            return std::nullopt;
        }
        settings.dictionaries.append(*locator);
    }
    if (arguments.normalize) {
        const QString mode = arguments.normalize->trimmed();
        if (mode != QLatin1String("auto") && mode != QLatin1String("on") &&
            mode != QLatin1String("off")) {
            setMessage(error, QObject::tr("--normalize must be auto, on or off\n"));
            return std::nullopt;
        }
        settings.textNormalization = mode;
    }

    settings.useSpeakerBoost = arguments.speakerBoost;
    return settings;
}

QString cacheKeySettingsPart(const VoiceSettings& settings) {
    if (settings.isDefault()) {
        return QString();
    }
    QString part = QLatin1String("|model_id=") + settings.modelId;
    if (!settings.languageCode.isEmpty()) {
        part += QLatin1String("|language_code=") + settings.languageCode;
    }
    if (settings.stability) {
        part += QLatin1String("|stability=") + numberText(*settings.stability);
    }
    if (settings.similarityBoost) {
        part += QLatin1String("|similarity_boost=") + numberText(*settings.similarityBoost);
    }
    if (settings.style) {
        part += QLatin1String("|style=") + numberText(*settings.style);
    }
    if (settings.useSpeakerBoost) {
        part += QLatin1String("|use_speaker_boost=true");
    }
    if (settings.seed) {
        part += QLatin1String("|seed=") + QString::number(*settings.seed);
    }
    if (!settings.dictionaries.isEmpty()) {
        QStringList locators;
        for (const DictionaryLocator& locator : settings.dictionaries) {
            locators.append(locator.version.isEmpty()
                                ? locator.id
                                : locator.id + QLatin1Char(':') + locator.version);
        }
        part +=
            QLatin1String("|pronunciation_dictionary_locators=") + locators.join(QLatin1Char(','));
    }
    if (!settings.textNormalization.isEmpty()) {
        part += QLatin1String("|apply_text_normalization=") + settings.textNormalization;
    }
    return part;
}

QString clipCacheKey(const QString& text, const QString& previousText, const QString& nextText,
                     const QString& voiceId, double speed, const VoiceSettings& settings,
                     int take) {
    // The first five parts are the stored recipe every cached clip was named by.
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(text.toUtf8());
    hash.addData(previousText.toUtf8());
    hash.addData(nextText.toUtf8());
    hash.addData(voiceId.toUtf8());
    hash.addData(QString::number(speed, 'f', 2).toUtf8());
    hash.addData(cacheKeySettingsPart(settings).toUtf8());
    if (take > 1) {
        hash.addData(QByteArrayLiteral("|take=") + QByteArray::number(take));
    }
    return QString::fromLatin1(hash.result().toHex());
}

void addVoiceSettingsToBody(QJsonObject* body, double speed, const VoiceSettings& settings) {
    body->insert(QStringLiteral("model_id"), settings.modelId);
    if (!settings.languageCode.isEmpty()) {
        body->insert(QStringLiteral("language_code"), settings.languageCode);
    }
    QJsonObject voiceSettings;
    if (settings.stability) {
        voiceSettings.insert(QStringLiteral("stability"), *settings.stability);
    }
    if (settings.similarityBoost) {
        voiceSettings.insert(QStringLiteral("similarity_boost"), *settings.similarityBoost);
    }
    if (settings.style) {
        voiceSettings.insert(QStringLiteral("style"), *settings.style);
    }
    if (settings.useSpeakerBoost) {
        voiceSettings.insert(QStringLiteral("use_speaker_boost"), true);
    }
    // Speeds within a hundredth of normal are left to the service's default, as always.
    if (std::abs(speed - 1.0) > 0.01) {
        voiceSettings.insert(QStringLiteral("speed"), speed);
    }
    if (!voiceSettings.isEmpty()) {
        body->insert(QStringLiteral("voice_settings"), voiceSettings);
    }
    if (settings.seed) {
        body->insert(QStringLiteral("seed"), qint64(*settings.seed));
    }
    if (!settings.dictionaries.isEmpty()) {
        QJsonArray locators;
        for (const DictionaryLocator& locator : settings.dictionaries) {
            QJsonObject entry{{QStringLiteral("pronunciation_dictionary_id"), locator.id}};
            if (!locator.version.isEmpty()) {
                entry.insert(QStringLiteral("version_id"), locator.version);
            }
            locators.append(entry);
        }
        body->insert(QStringLiteral("pronunciation_dictionary_locators"), locators);
    }
    if (!settings.textNormalization.isEmpty()) {
        body->insert(QStringLiteral("apply_text_normalization"), settings.textNormalization);
    }
}

} // namespace lyrane
