#pragma once

#include <QString>

namespace lyrane {

// ELEVENLABS_API_KEY when set, else the trimmed content of `keyFile`; `error` says why the
// file gave nothing.
QString loadApiKey(const QString& keyFile, QString* error);

} // namespace lyrane
