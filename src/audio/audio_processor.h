#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// One channel of audio; full scale is -1.0 to +1.0.
struct AudioBuffer {
    QList<double> samples;
    int sampleRate = 0;
};

struct SegmentPlacement {
    qint64 desiredStartMs = 0;
    qint64 actualStartMs = 0;
    qint64 actualEndMs = 0;
};

// Where each clip lands on a timeline, in samples at the timeline's rate; computed without
// rendering, so a long narration can be streamed to its file instead of held in memory.
struct TimelinePlan {
    int sampleRate = 0;
    qint64 totalSamples = 0;
    QList<qint64> startSamples; // one per clip, same order as the clips
    QList<SegmentPlacement> placements;
};

class AudioProcessor {
public:
    static constexpr int kMp3BitRate = 128000;

    // WAV and raw PCM.
    std::optional<AudioBuffer> readWav(const QString& path, QString* error) const;
    bool writeWav(const AudioBuffer& buffer, const QString& path, QString* error) const;
    std::optional<AudioBuffer> decodePcm16Mono(const QByteArray& data, int sampleRate,
                                               QString* error) const;
    bool writePcm16MonoAsWav(const QByteArray& data, int sampleRate, const QString& path,
                             QString* error) const;
    bool ensureWavFile(const QString& path, int sampleRate, QString* error) const;

    // MP3 and clip loading.
    std::optional<AudioBuffer> decodeMp3(const QString& path, QString* error) const;
    bool encodeMp3(const AudioBuffer& buffer, const QString& path, QString* error) const;
    bool encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate,
                   QString* error) const;
    std::optional<QByteArray> encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate,
                                               QString* error) const;
    std::optional<AudioBuffer> loadAudio(const QString& path, QString* error) const;

    // Sample-rate conversion and pitch-preserving time stretch.
    std::optional<AudioBuffer> resample(const AudioBuffer& buffer, int sampleRate,
                                        QString* error) const;
    // factor > 1 makes the audio shorter (faster), pitch unchanged.
    std::optional<AudioBuffer> speedUp(const AudioBuffer& buffer, double factor,
                                       QString* error) const;

    // Mixing.
    std::optional<AudioBuffer> mixSegments(const QList<AudioBuffer>& segments,
                                           const QList<qint64>& startTimesMs,
                                           const QList<qint64>& endTimesMs, qint64 durationMs,
                                           qint64 paddingMs, QList<SegmentPlacement>* placements,
                                           QString* error) const;
    void normalize(AudioBuffer& buffer) const;
    AudioBuffer trimEndSilence(const AudioBuffer& buffer) const;

    // The same placement rule as mixSegments, without rendering. Clips whose rate differs
    // from the first clip's are measured as if resampled to it.
    std::optional<TimelinePlan> planTimeline(const QList<AudioBuffer>& segments,
                                             const QList<qint64>& startTimesMs,
                                             const QList<qint64>& endTimesMs, qint64 durationMs,
                                             qint64 paddingMs, QString* error) const;
    // Renders a planned timeline straight to a file, in bounded memory; the bytes equal
    // writeWav / encodeMp3 of the mixSegments result.
    bool writeTimelineWav(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                          const QString& path, QString* error) const;
    bool writeTimelineMp3(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                          const QString& path, QString* error) const;
};

} // namespace lyrane
