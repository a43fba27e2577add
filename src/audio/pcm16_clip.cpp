#include "audio/pcm16_clip.h"

#include "audio/audio_buffer.h"
#include "audio/wav_file.h"
#include "audio/wav_samples.h"

#include <QFile>
#include <QFileInfo>

namespace lyrane {

bool loadTrimmedPcm16Clip(const QString& path, Pcm16Clip& clip) {
    if (QFileInfo(path).suffix().toLower() != QLatin1String("wav")) {
        return false;
    }
    QFile file(path);
    WavLayout layout;
    if (!readWavHeader(file, path, &layout, nullptr)) {
        return false;
    }
    clip.sampleRate = layout.sampleRate;
    readWavPcm16(file, layout, clip.values);
    const qsizetype count = qsizetype(clip.values.size());
    clip.values.resize(static_cast<size_t>(trimmedLength(clip.values.data(), count)));
    return true;
}

void pcm16ToSamples(const Pcm16Clip& clip, QList<double>& samples) {
    const qsizetype count = qsizetype(clip.values.size());
    samples.resize(count);
    const qint16* in = clip.values.data();
    double* out = samples.data();
    for (qsizetype i = 0; i < count; ++i) {
        out[i] = fromPcm16(in[i]);
    }
}

} // namespace lyrane
