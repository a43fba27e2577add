#pragma once

#include <QByteArray>
#include <QString>

namespace lyrane {

QString readUtf8TextFile(const QString& path, QString* error);
QString loadApiKey(const QString& keyFile, QString* error);

bool outputFormatIsMp3(const QString& format);
QString cacheExtensionForOutputFormat(const QString& format);
QString contentTypeForExtension(const QString& extension);
// The rate of a raw PCM format name such as "pcm_16000"; 44100 when the name gives none.
int pcmSampleRateForFormat(const QString& format);

// Checks a cached clip before use, upgrading a legacy headerless PCM file to WAV in place.
bool ensureCachedAudioFileIsUsable(const QString& path, const QString& format, QString* error);
// Stores the service's bytes as a cache file: MP3 unchanged, raw PCM as a WAV file. The file
// appears whole or not at all.
bool writeSynthesizedAudioToCache(const QString& format, const QString& path,
                                  const QByteArray& bytes, QString* error);

} // namespace lyrane
