#pragma once

#include <QString>

namespace lyrane {

// ELEVENLABS_API_KEY when set, else the trimmed content of `keyFile`; `error` says why the
// file gave nothing.
QString loadApiKey(const QString& keyFile, const QString& fromEnvironment, QString* error);

// Where loadApiKey reads the key from, for messages: "ELEVENLABS_API_KEY" or the file's path.
QString apiKeySource(const QString& keyFile, const QString& fromEnvironment);

} // namespace lyrane
