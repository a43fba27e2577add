#include "synthesis/clip_format.h"

#include "audio/mp3_decoding.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QObject>
#include <QSaveFile>

#include <algorithm>

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

std::optional<double> cachedClipSeconds(const QString& path, QString* error) {
    QFile file(path);
    if (path.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive)) {
        if (!file.open(QIODevice::ReadOnly)) {
            if (error) {
                *error = file.errorString();
            }
            return std::nullopt;
        }
        const std::optional<Mp3StreamFacts> facts = checkMp3Stream(file.readAll(), error);
        if (!facts || facts->sampleRate <= 0) {
            return std::nullopt;
        }
        return double(facts->samples) / facts->sampleRate;
    }
    WavLayout layout;
    if (!readWavHeader(file, path, &layout, error) || layout.sampleRate <= 0 ||
        layout.channels == 0) {
        return std::nullopt;
    }
    // What the file holds, whatever the header says.
    const qint64 held = std::min<qint64>(layout.dataSize, file.size() - file.pos());
    return double(held / (2 * qint64(layout.channels))) / layout.sampleRate;
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
