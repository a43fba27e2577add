#pragma once

#include "speech_engine.h"

#include <QJsonArray>
#include <QString>

#include <optional>

namespace lyrane::speechd {

// The voices the offline service lists as its account's voices, and how every voice
// identifier sounds.
//
// The listed voices are the client's four built-in voices plus a few more with identifiers
// of the service's shape (20 letters and digits). Any other identifier gets a voice picked
// from a digest of it, the same one every time, unless the service only accepts listed voices.

// The sound of a listed voice; nullopt when `voiceId` is not one of them.
std::optional<VoiceProfile> listedVoice(const QString& voiceId);

// The sound of any voice identifier: a listed voice's own, otherwise one derived from it.
VoiceProfile voiceForId(const QString& voiceId);

// The listed voices as the service's GET /v1/voices entries.
QJsonArray listedVoicesJson();

} // namespace lyrane::speechd
