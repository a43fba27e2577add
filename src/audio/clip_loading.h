#pragma once

#include "audio/audio_buffer.h"

#include <QString>

#include <optional>

namespace lyrane {

// Raw 16-bit mono PCM clips (.pcm) carry no rate: they are read at this one.
constexpr int kRawPcmSampleRate = 44100;

// Loads a clip by its suffix: .wav, .pcm or .mp3. A .wav file that is raw PCM from an early
// version is read at kRawPcmSampleRate as its upgrade to WAV would hold it. Never writes a file.
std::optional<AudioBuffer> loadAudio(const QString& path, QString* error);

// Loads a clip as loadAudio and then trimEndSilence would, into `clip`, keeping its storage
// where it can: one buffer serves a whole timeline, and fresh memory is costly.
bool loadTrimmedClip(const QString& path, AudioBuffer& clip, QString* error);

} // namespace lyrane
