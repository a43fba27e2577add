#pragma once

#include "audio/audio_buffer.h"

#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// The buffer at another sample rate; its length is always resampledLength() of the input's.
std::optional<AudioBuffer> resample(const AudioBuffer& buffer, int sampleRate, QString* error);

// Number of samples resample() yields for a buffer of inputCount samples.
qint64 resampledLength(qint64 inputCount, int inputRate, int outputRate);

} // namespace lyrane
