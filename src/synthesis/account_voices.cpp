#include "synthesis/account_voices.h"

#include "synthesis/account_request.h"
#include "synthesis/built_in_voices.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QRegularExpression>

#include <algorithm>

namespace lyrane {

namespace {

bool isBuiltInName(const QString& name) {
    return std::any_of(
        std::begin(kBuiltInVoices), std::end(kBuiltInVoices),
        [&name](const BuiltInVoice& voice) { return name == QLatin1String(voice.name); });
}

bool isBuiltInId(const QString& id) {
    return std::any_of(std::begin(kBuiltInVoices), std::end(kBuiltInVoices),
                       [&id](const BuiltInVoice& voice) { return id == QLatin1String(voice.id); });
}

} // namespace

std::optional<QList<AccountVoice>> parseAccountVoices(const QByteArray& body) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object().value(QStringLiteral("voices")).isArray()) {
        return std::nullopt;
    }
    QList<AccountVoice> voices;
    for (const QJsonValue& entry : document.object().value(QStringLiteral("voices")).toArray()) {
        const QJsonObject object = entry.toObject();
        AccountVoice voice;
        voice.voiceId = object.value(QStringLiteral("voice_id")).toString();
        voice.name = object.value(QStringLiteral("name")).toString();
        voice.category = object.value(QStringLiteral("category")).toString();
        const QJsonObject labels = object.value(QStringLiteral("labels")).toObject();
        for (auto it = labels.constBegin(); it != labels.constEnd(); ++it) {
            voice.labels.append({it.key(), it.value().toString()});
        }
        if (!voice.voiceId.isEmpty()) {
            voices.append(voice);
        }
    }
    return voices;
}

std::optional<QList<AccountVoice>> fetchAccountVoices(QNetworkAccessManager* manager,
                                                      const QString& baseUrl, const QString& apiKey,
                                                      int timeoutMs, QString* error) {
    const std::optional<QByteArray> body = getAccountResource(
        manager, baseUrl, QStringLiteral("/v1/voices"), apiKey, timeoutMs, error);
    if (!body) {
        return std::nullopt;
    }
    std::optional<QList<AccountVoice>> voices = parseAccountVoices(*body);
    if (!voices) {
        *error = QObject::tr("the answer is not a list of voices");
    }
    return voices;
}

bool mayNameAccountVoice(const QString& voice) {
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z0-9]{20}$"));
    const QString trimmed = voice.trimmed();
    return !trimmed.isEmpty() && !isBuiltInName(trimmed) && !identifier.match(trimmed).hasMatch();
}

QString accountVoiceIdForName(const QList<AccountVoice>& voices, const QString& name) {
    const QString wanted = name.trimmed();
    for (const AccountVoice& voice : voices) {
        if (voice.name.trimmed().compare(wanted, Qt::CaseInsensitive) == 0) {
            return voice.voiceId;
        }
    }
    return QString();
}

QString accountVoiceListing(QList<AccountVoice> voices) {
    std::stable_sort(voices.begin(), voices.end(),
                     [](const AccountVoice& a, const AccountVoice& b) {
                         return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
                     });
    QString listing;
    for (const AccountVoice& voice : voices) {
        QStringList labels;
        for (const auto& [key, value] : voice.labels) {
            labels.append(key + QLatin1Char('=') + value);
        }
        QString line =
            voice.name + QLatin1String("  ") + voice.voiceId + QLatin1String("  ") + voice.category;
        if (!labels.isEmpty()) {
            line += QLatin1String("  ") + labels.join(QLatin1String(", "));
        }
        if (isBuiltInId(voice.voiceId)) {
            line += QObject::tr("  (built-in)");
        }
        listing += line + QLatin1Char('\n');
    }
    return listing;
}

QString VoiceNameResolver::resolve(const QString& voice, QString* warning) {
    if (!mayNameAccountVoice(voice)) {
        return voice;
    }
    const auto known = resolved.constFind(voice);
    if (known != resolved.constEnd()) {
        return *known;
    }
    if (!asked) {
        asked = true;
        QString error;
        voices = fetchAccountVoices(manager, baseUrl, apiKey, timeoutMs, &error);
        if (!voices && warning) {
            *warning = QObject::tr("Could not look up voice names in the account (%1); using "
                                   "them as voice IDs\n")
                           .arg(error);
        }
    }
    QString id = voices ? accountVoiceIdForName(*voices, voice) : QString();
    if (id.isEmpty()) {
        id = voice;
    }
    resolved.insert(voice, id);
    return id;
}

} // namespace lyrane
