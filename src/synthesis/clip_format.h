#pragma once

#include "synthesis/output_formats.h"

#include <QByteArray>
#include <QString>

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

} // namespace lyrane
