#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane::speechd {

enum class TelephoneLaw { MuLaw, ALaw };

// Encodes mono audio as raw G.711 bytes (one byte a sample, no header) with FFmpeg's coder.
std::optional<QByteArray> encodeTelephone(const AudioBuffer& audio, TelephoneLaw law,
                                          QString* error);

} // namespace lyrane::speechd
