#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// Every MP3 clip decodes to mono at this rate.
constexpr int kMp3DecodeRate = 44100;

// Decodes an MP3 file to mono at kMp3DecodeRate, whatever its frames' rates and layouts; a
// damaged frame is skipped, as players do.
std::optional<AudioBuffer> decodeMp3(const QString& path, QString* error);

// What a whole MP3 stream decodes to.
struct Mp3StreamFacts {
    int sampleRate = 0;
    int channels = 0;
    qint64 samples = 0; // per channel
};

// Decodes a whole MP3 stream held in memory, strictly: besides a leading ID3v2 and a trailing
// ID3v1 tag every byte must belong to a whole frame that decodes, the rate may not change and
// there must be audio. The error describes the stream ("MP3 stream holds no audio"); the caller
// says whose it is.
std::optional<Mp3StreamFacts> checkMp3Stream(const QByteArray& bytes, QString* error);

} // namespace lyrane
