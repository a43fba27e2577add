#pragma once

#include "synthesis/output_formats.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// How the service's output format decides the cached clip: MP3 formats are stored as sent,
// raw PCM formats as WAV files at the format's rate.
QString cacheExtensionForOutputFormat(const QString& format);
QString contentTypeForExtension(const QString& extension);
// The rate of a PCM or WAV format such as "pcm_16000" or "wav_24000"; 44100 for any other.
int pcmSampleRateForFormat(const QString& format);

// Checks a cached clip before use: a WAV clip must be whole. A headerless clip of an early
// version is upgraded to WAV in place here, the one place that writes to a clip already in the
// cache; a damaged header is no such clip.
bool ensureCachedAudioFileIsUsable(const QString& path, const QString& format, QString* error);
// Stores the service's bytes as a cache file: MP3 unchanged, raw PCM as a WAV file. The file
// appears whole or not at all.
bool writeSynthesizedAudioToCache(const QString& format, const QString& path,
                                  const QByteArray& bytes, QString* error);
// Writes a cache file's bytes as they are; the file appears whole or not at all.
bool writeCacheFile(const QString& path, const QByteArray& bytes, QString* error);

// How long a clip in the cache plays, from its WAV header or its MP3 frames; nothing, with the
// reason, when it cannot be read.
std::optional<double> cachedClipSeconds(const QString& path, QString* error);

} // namespace lyrane
