#pragma once

#include "audio/audio_buffer.h"
#include "audio/mp3_chunked_encoder.h"
#include "audio/mp3_encoder.h"
#include "audio/wav_file.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace lyrane {

constexpr int kMp3BitRate = 128000;

struct Mp3WriteOptions {
    int threads = 0; // encoders at work at once; 0: QThread::idealThreadCount()
    // How the samples are cut for the encoders: the bytes depend on it, never on `threads`.
    Mp3ChunkPlan plan;
    // Sees every audio frame as the file holds it, in order (not the Info frame).
    PacketSink observe;
    Mp3SeamCounts* seams = nullptr; // filled when given
};

// Encodes mono 16-bit MP3; the target is replaced only once the file is whole.
bool encodeMp3(const AudioBuffer& buffer, const QString& path, QString* error);
bool encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate, QString* error,
               const Mp3WriteOptions& options = Mp3WriteOptions());
// The bare frames of one encoder, with no Info frame (the offline service's answers).
std::optional<QByteArray> encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate, QString* error);

// Writes an MP3 file from samples a producer pushes, encoded on every core and joined into
// one stream. A file (not a pipe or device) begins with an Info frame whose LAME tag holds the
// frame and byte counts and the encoder delay and end padding, so players give back exactly
// the samples pushed. Handles creating, checking every write and the close, and removing a
// partial file; the producer's false ends the writing as a failure.
bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(const Pcm16Sink&)>& produce, QString* error,
                  const Mp3WriteOptions& options = Mp3WriteOptions());

} // namespace lyrane
