#include "audio/clip_loading.h"
#include "audio/audio_error.h"
#include "audio/mp3_decoding.h"
#include "audio/wav_file.h"
#include "audio/wav_samples.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>

namespace lyrane {

using audio_detail::setError;

std::optional<AudioBuffer> loadAudio(const QString& path, QString* error) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("wav")) {
        QFile file(path);
        WavLayout layout;
        bool notWave = false;
        if (readWavHeader(file, path, &layout, error, &notWave)) {
            AudioBuffer buffer;
            buffer.sampleRate = layout.sampleRate;
            readWavSamples(file, layout, buffer.samples);
            return buffer;
        }
        // A damaged header is no legacy clip: only a file without a trace of one is.
        file.close();
        if (!notWave || !isHeaderlessPcmFile(path)) {
            return std::nullopt;
        }
        // A legacy clip is read as it is; only the cache's check upgrades it.
        const std::optional<QByteArray> bytes = readLegacyPcmFile(path, error);
        if (!bytes) {
            return std::nullopt;
        }
        return decodeLegacyPcm(*bytes, kRawPcmSampleRate, error);
    }
    if (suffix == QLatin1String("pcm")) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            setError(error,
                     QObject::tr("failed to open PCM file %1: %2").arg(path, file.errorString()));
            return std::nullopt;
        }
        const QByteArray bytes = file.readAll();
        file.close();
        return decodePcm16Mono(bytes, kRawPcmSampleRate, error);
    }
    if (suffix == QLatin1String("mp3")) {
        return decodeMp3(path, error);
    }
    setError(error,
             QObject::tr("unsupported audio format: %1 (only .wav, .pcm, and .mp3 supported)")
                 .arg(suffix));
    return std::nullopt;
}

bool loadTrimmedClip(const QString& path, AudioBuffer& clip, QString* error) {
    if (QFileInfo(path).suffix().toLower() == QLatin1String("wav")) {
        QFile file(path);
        WavLayout layout;
        if (readWavHeader(file, path, &layout, nullptr)) {
            clip.sampleRate = layout.sampleRate;
            readWavSamples(file, layout, clip.samples);
            clip.samples.resize(trimmedLength(clip.samples));
            return true;
        }
    }
    // Everything else, legacy clips included, the ordinary way.
    std::optional<AudioBuffer> loaded = loadAudio(path, error);
    if (!loaded) {
        return false;
    }
    clip = std::move(*loaded);
    clip.samples.resize(trimmedLength(clip.samples));
    return true;
}

} // namespace lyrane
