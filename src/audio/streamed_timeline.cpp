#include "audio/streamed_timeline.h"

#include "audio/audio_error.h"
#include "audio/mp3_codec.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QObject>

#include <algorithm>
#include <memory>

namespace lyrane {

using audio_detail::setError;

namespace {

// Loads the clips one at a time as the renderer reaches them, checking each against its
// planned length; the first failure's message is kept.
class StreamedClips {
public:
    StreamedClips(const QList<qint64>& lengths, const TimelineClipLoader& load)
        : m_lengths(lengths), m_load(load) {}

    const double* samplesOf(qsizetype j) {
        if (j != m_index) {
            m_index = -1;
            QString error;
            if (!m_load(j, m_clip, &error)) {
                m_error = error;
                return nullptr;
            }
            if (m_clip.samples.size() != m_lengths.at(j)) {
                m_error =
                    QObject::tr("audio segment %1 changed while the output was written").arg(j + 1);
                return nullptr;
            }
            m_index = j;
        }
        return m_clip.samples.constData();
    }

    // Replaces the writer's message when a clip, not the file, failed.
    bool fail(QString* error) const {
        if (!m_error.isEmpty()) {
            setError(error, m_error);
        }
        return false;
    }

private:
    const QList<qint64>& m_lengths;
    const TimelineClipLoader& m_load;
    AudioBuffer m_clip;
    qsizetype m_index = -1;
    QString m_error;
};

// The renderer's chunks go to `write` until `stopped` says otherwise.
template <typename Sample>
std::function<bool(const Sample*, qint64)>
stoppable(const std::function<bool(const Sample*, qint64)>& write, const StopCheck& stopped,
          bool* wasStopped) {
    return [&write, &stopped, wasStopped](const Sample* samples, qint64 count) {
        if (stopRequested(stopped)) {
            *wasStopped = true;
            return false;
        }
        return write(samples, count);
    };
}

bool stoppedError(QString* error) {
    setError(error, QObject::tr("stopped before the output was complete"));
    return false;
}

bool checkStreamedPlan(const QList<qint64>& lengths, const TimelinePlan& plan, QString* error) {
    if (plan.sampleRate <= 0 || plan.startSamples.size() != lengths.size()) {
        setError(error, QObject::tr("timeline plan does not match the segments"));
        return false;
    }
    return true;
}

} // namespace

bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error) {
    return writeStreamedTimelineWav(plan, lengths, OutputLevel::normalizedFromPeak(peak), load,
                                    path, error);
}

bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, QString* error, const StopCheck& stopped) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    bool wasStopped = false;
    if (!writeWavFile(
            qMax<qint64>(plan.totalSamples, 0), plan.sampleRate, path,
            [&](const Pcm16Sink& write) {
                return renderTimeline(
                    lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, level, plan,
                    stoppable(write, stopped, &wasStopped));
            },
            error)) {
        return wasStopped ? stoppedError(error) : clips.fail(error);
    }
    return true;
}

TimelineRangeRenderer streamedTimelineRanges(const TimelinePlan& plan, const QList<qint64>& lengths,
                                             const OutputLevel& level,
                                             const TimelineClipLoader& load,
                                             const StopCheck& stopped) {
    auto clips = std::make_shared<StreamedClips>(lengths, load);
    return [&plan, &lengths, &level, &stopped, clips](qint64 from, qint64 to, qint16* out,
                                                      QString* error) {
        if (!checkStreamedPlan(lengths, plan, error)) {
            return false;
        }
        if (stopRequested(stopped)) {
            return stoppedError(error);
        }
        const PlacedPcm16Sink copy = [from, out](qint64 at, const qint16* samples, qint64 count) {
            std::copy(samples, samples + count, out + (at - from));
            return true;
        };
        return renderTimelineSpans(
                   lengths, [&clips](qsizetype j) { return clips->samplesOf(j); }, level, plan,
                   {SampleSpan{from, to}}, copy) ||
               clips->fail(error);
    };
}

bool renderStreamedTimelineSpans(const TimelinePlan& plan, const QList<qint64>& lengths,
                                 const OutputLevel& level, const TimelineClipLoader& load,
                                 const QList<SampleSpan>& spans, const PlacedPcm16Sink& sink,
                                 QString* error, const StopCheck& stopped) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    bool wasStopped = false;
    const PlacedPcm16Sink stoppableSink = [&](qint64 at, const qint16* samples, qint64 count) {
        if (stopRequested(stopped)) {
            wasStopped = true;
            return false;
        }
        return sink(at, samples, count);
    };
    if (!renderTimelineSpans(
            lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, level, plan, spans,
            stoppableSink)) {
        return wasStopped ? stoppedError(error) : clips.fail(error);
    }
    return true;
}

bool writeStreamedTimelineBroadcastWav(const TimelinePlan& plan, const QList<qint64>& lengths,
                                       const OutputLevel& level, const TimelineClipLoader& load,
                                       const BroadcastExtension& extension, const QString& path,
                                       QString* error, const StopCheck& stopped) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    bool wasStopped = false;
    if (!writeBroadcastWavFile(
            qMax<qint64>(plan.totalSamples, 0), plan.sampleRate, extension, path,
            [&](const SampleSink& write) {
                return renderTimelineSamples(
                    lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, level, plan,
                    stoppable(write, stopped, &wasStopped));
            },
            error)) {
        return wasStopped ? stoppedError(error) : clips.fail(error);
    }
    return true;
}

bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error) {
    return writeStreamedTimelineMp3(plan, lengths, OutputLevel::normalizedFromPeak(peak), load,
                                    path, error);
}

bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, QString* error, const StopCheck& stopped,
                              int threads) {
    return writeStreamedTimelineMp3(plan, lengths, level, load, path, PacketSink(), error, stopped,
                                    threads);
}

bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, const PacketSink& observe, QString* error,
                              const StopCheck& stopped, int threads) {
    if (!checkStreamedPlan(lengths, plan, error)) {
        return false;
    }
    StreamedClips clips(lengths, load);
    bool wasStopped = false;
    Mp3WriteOptions options;
    options.threads = threads;
    options.observe = observe;
    if (!writeMp3File(
            plan.sampleRate, kMp3BitRate, path,
            [&](const Pcm16Sink& encode) {
                return renderTimeline(
                    lengths, [&clips](qsizetype j) { return clips.samplesOf(j); }, level, plan,
                    stoppable(encode, stopped, &wasStopped));
            },
            error, options)) {
        return wasStopped ? stoppedError(error) : clips.fail(error);
    }
    return true;
}

} // namespace lyrane
