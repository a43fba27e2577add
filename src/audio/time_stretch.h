#pragma once

#include "audio/audio_buffer.h"

#include <QString>

#include <optional>

namespace lyrane {

// Pitch-preserving time stretch: factor > 1 makes the audio shorter (faster).
std::optional<AudioBuffer> speedUp(const AudioBuffer& buffer, double factor, QString* error);

} // namespace lyrane
