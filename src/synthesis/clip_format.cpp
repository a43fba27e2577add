#include "synthesis/clip_format.h"

#include "audio/wav_file.h"

#include <QObject>
#include <QSaveFile>

namespace lyrane {

namespace {
constexpr int kDefaultPcmRate = 44100;
}

QString cacheExtensionForOutputFormat(const QString& format) {
    return storedOutputFormat(format).cacheExtension();
}

QString contentTypeForExtension(const QString& extension) {
    if (extension.compare(QLatin1String(".mp3"), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("audio/mpeg");
    }
    if (extension.compare(QLatin1String(".wav"), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("audio/wav");
    }
    return {};
}

int pcmSampleRateForFormat(const QString& format) {
    // WAV answers are stored as the PCM answer of their rate would be.
    const ServiceOutputFormat stored = storedOutputFormat(format);
    return stored.kind == AudioKind::Mp3 ? kDefaultPcmRate : stored.sampleRate;
}

namespace {

bool upgradeLegacyPcmClip(const QString& path, int sampleRate, QString* error) {
    const std::optional<QByteArray> bytes = readLegacyPcmFile(path, error);
    if (!bytes) {
        return false;
    }
    // The file is replaced only once the whole WAV file is written.
    QString convertError;
    if (!writePcm16MonoAsWav(*bytes, sampleRate, path, &convertError)) {
        if (error) {
            *error = legacyPcmConversionError(*bytes, convertError);
        }
        return false;
    }
    return true;
}

} // namespace

bool ensureCachedAudioFileIsUsable(const QString& path, const QString& format, QString* error) {
    if (outputFormatIsMp3(format)) {
        return true;
    }
    if (isHeaderlessPcmFile(path)) {
        return upgradeLegacyPcmClip(path, pcmSampleRateForFormat(format), error);
    }
    // Anything with a trace of a WAV header is only checked here, never rewritten: a clip cut
    // short or with a damaged header is unusable.
    return checkWholeWavFile(path, error);
}

bool writeSynthesizedAudioToCache(const QString& format, const QString& path,
                                  const QByteArray& bytes, QString* error) {
    if (!outputFormatIsMp3(format)) {
        return writePcm16MonoAsWav(bytes, pcmSampleRateForFormat(format), path, error);
    }
    return writeCacheFile(path, bytes, error);
}

bool writeCacheFile(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) {
            *error = QObject::tr("failed to write cache file %1: %2").arg(path, file.errorString());
        }
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        if (error) {
            *error = QObject::tr("failed to write all data to cache file %1").arg(path);
        }
        return false;
    }
    return true;
}

} // namespace lyrane
