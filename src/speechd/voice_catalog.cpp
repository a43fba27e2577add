#include "voice_catalog.h"

#include <QCryptographicHash>
#include <QJsonObject>

#include <iterator>

namespace lyrane::speechd {

namespace {

struct ListedVoice {
    const char* voiceId;
    const char* name;
    const char* category;
    const char* description;
    const char* accent;
    const char* gender;
    const char* age;
    const char* useCase;
    const char* espeakName;
    int pitch;
    int range;
};

// Every listed voice has its own espeak-ng variant, so that two of them in one dialogue are
// clearly two speakers. The first four are the client's built-in voices.
constexpr ListedVoice kListedVoices[] = {
    {"EXAVITQu4vr4xnSDxMaL", "Miravel", "premade", "A soft, clear voice for narration.", "british",
     "female", "young", "narration", "en+f3", 55, 60},
    {"pNInz6obpgDQGcFmaJgB", "Dostan", "premade", "A deep, calm voice.", "british", "male",
     "middle aged", "narration", "en+m3", 40, 45},
    {"21m00Tcm4TlvDq8ikWAM", "Brenn", "premade", "A bright, lively voice.", "american", "female",
     "young", "narration", "en-us+f4", 80, 70},
    {"ErXwobaYiN019PkySvjV", "Ottaline", "premade", "A warm, even voice.", "american", "male",
     "middle aged", "conversational", "en-us+m1", 68, 55},
    {"Tq7WmB2xKf9LpR4sNc1Y", "Tamsin", "premade", "A crisp voice for announcements.", "british",
     "female", "middle aged", "announcements", "en-gb-x-rp+f2", 46, 55},
    {"Hd3VzP8qLm5RtX0aKw6J", "Corvin", "premade", "A low, gravelly storyteller.", "scottish",
     "male", "old", "characters", "en-gb-scotland+m7", 25, 40},
    {"Cl0nEdVo1ceHv7Qe2Xz9", "Harriet Vale", "cloned", "A voice cloned from the account's samples.",
     "caribbean", "female", "middle aged", "conversational", "en-029+f1", 90, 75},
    {"Gn8JpR3tYw6Ux2Mb5Qs0", "Juniper", "generated", "A voice designed from a description.",
     "american", "male", "young", "characters", "en-us-nyc+m6", 82, 35},
};

// The parts an unlisted identifier's voice is picked from, each by its own digest byte.
constexpr const char* kAccents[] = {"en",     "en-us",     "en-gb-scotland", "en-gb-x-rp",
                                    "en-029", "en-us-nyc", "en-gb-x-gbclan"};
constexpr const char* kVariants[] = {"m1", "m2", "m3", "m4", "m5", "m6",
                                     "m7", "f1", "f2", "f3", "f4", "f5"};

} // namespace

std::optional<VoiceProfile> listedVoice(const QString& voiceId) {
    for (const ListedVoice& voice : kListedVoices) {
        if (voiceId == QLatin1String(voice.voiceId))
            return VoiceProfile{voice.espeakName, voice.pitch, voice.range, 100, {}};
    }
    return std::nullopt;
}

VoiceProfile voiceForId(const QString& voiceId) {
    if (const std::optional<VoiceProfile> listed = listedVoice(voiceId))
        return *listed;
    // A fixed digest rather than qHash, whose seed changes from run to run.
    const QByteArray digest = QCryptographicHash::hash(voiceId.toUtf8(), QCryptographicHash::Md5);
    const auto byteAt = [&digest](int i) {
        return static_cast<unsigned char>(digest.at(i));
    };
    const QByteArray name = QByteArray(kAccents[byteAt(0) % std::size(kAccents)]) + '+' +
                            kVariants[byteAt(1) % std::size(kVariants)];
    // Pitch and range vary too, so identifiers sharing accent and variant still sound apart.
    return {name, 35 + byteAt(2) % 31, 35 + byteAt(3) % 41, 100, {}};
}

QJsonArray listedVoicesJson() {
    QJsonArray voices;
    for (const ListedVoice& voice : kListedVoices) {
        const QJsonObject labels{{QStringLiteral("accent"), QLatin1String(voice.accent)},
                                 {QStringLiteral("gender"), QLatin1String(voice.gender)},
                                 {QStringLiteral("age"), QLatin1String(voice.age)},
                                 {QStringLiteral("use_case"), QLatin1String(voice.useCase)}};
        voices.append(QJsonObject{
            {QStringLiteral("voice_id"), QLatin1String(voice.voiceId)},
            {QStringLiteral("name"), QLatin1String(voice.name)},
            {QStringLiteral("category"), QLatin1String(voice.category)},
            {QStringLiteral("labels"), labels},
            {QStringLiteral("description"), QLatin1String(voice.description)},
            {QStringLiteral("preview_url"), QJsonValue::Null},
            {QStringLiteral("available_for_tiers"), QJsonArray{}},
            {QStringLiteral("settings"), QJsonValue::Null},
        });
    }
    return voices;
}

} // namespace lyrane::speechd
