#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QNetworkAccessManager;

namespace lyrane {

// One voice of the account, as GET /v1/voices lists it.
struct AccountVoice {
    QString voiceId;
    QString name;
    QString category;
    QList<QPair<QString, QString>> labels; // in the order the service sends them
};

// Asks the service for the account's voices, waiting for the answer. `timeoutMs` 0 means no
// time-out. On failure `error` says why and nothing is returned.
std::optional<QList<AccountVoice>> fetchAccountVoices(QNetworkAccessManager* manager,
                                                      const QString& baseUrl, const QString& apiKey,
                                                      int timeoutMs, QString* error);

// Reads the body of GET /v1/voices; nothing when it is not the service's list.
std::optional<QList<AccountVoice>> parseAccountVoices(const QByteArray& body);

// A voice value that may be the name of an account voice: neither a built-in name nor shaped
// like an identifier (20 ASCII letters and digits).
bool mayNameAccountVoice(const QString& voice);

// The identifier of the account voice called `name`, letter case ignored; empty when none is.
QString accountVoiceIdForName(const QList<AccountVoice>& voices, const QString& name);

// The --list-voices listing: one line a voice, sorted by name (letter case ignored):
// "Name  voice_id  category  key=value, ...", built-in names marked "(built-in)".
QString accountVoiceListing(QList<AccountVoice> voices);

// Turns each voice value of a run into what a request may carry: a built-in name or an
// identifier stays, an account voice's name becomes its identifier. The account is asked at
// most once, and only when a value may name one of its voices.
class VoiceNameResolver {
public:
    VoiceNameResolver(QNetworkAccessManager* manager, const QString& baseUrl, const QString& apiKey,
                      int timeoutMs)
        : manager(manager), baseUrl(baseUrl), apiKey(apiKey), timeoutMs(timeoutMs) {}

    // The value to build requests from. When the look-up fails the value is kept, as an
    // identifier, and `warning` (once per resolver) says why.
    QString resolve(const QString& voice, QString* warning);

private:
    QNetworkAccessManager* manager;
    QString baseUrl;
    QString apiKey;
    int timeoutMs;
    bool asked = false;
    std::optional<QList<AccountVoice>> voices;
    QHash<QString, QString> resolved;
};

} // namespace lyrane
