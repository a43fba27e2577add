#include "audio/encoded_loudness.h"

#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/mp3_codec.h"

#include <QObject>

#include <cmath>
#include <vector>

namespace lyrane {

using audio_detail::setError;

struct Mp3PacketMeter::State {
    CodecContextPtr decoder;
    FramePtr frame;
    PacketPtr packet;
    LoudnessMeter meter;
    std::vector<double> samples;
    QString error;

    bool receive() {
        for (;;) {
            const int received = avcodec_receive_frame(decoder.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return true;
            }
            if (received < 0) {
                error = QObject::tr("failed to decode the MP3 output: %1")
                            .arg(ffmpegErrorText(received));
                return false;
            }
            const int n = frame->nb_samples;
            samples.resize(static_cast<size_t>(n));
            // Mono: the first plane (or the interleaved data) is the one channel.
            const uint8_t* data = frame->extended_data[0];
            for (int k = 0; k < n; ++k) {
                switch (frame->format) {
                case AV_SAMPLE_FMT_FLTP:
                case AV_SAMPLE_FMT_FLT:
                    samples[size_t(k)] = reinterpret_cast<const float*>(data)[k];
                    break;
                case AV_SAMPLE_FMT_S16P:
                case AV_SAMPLE_FMT_S16:
                    samples[size_t(k)] = reinterpret_cast<const int16_t*>(data)[k] / 32768.0;
                    break;
                default:
                    error = QObject::tr("unexpected sample format decoding the MP3 output");
                    return false;
                }
            }
            av_frame_unref(frame.get());
            if (!meter.add(samples.data(), n, &error)) {
                return false;
            }
        }
    }
};

Mp3PacketMeter::Mp3PacketMeter() : d(std::make_unique<State>()) {}
Mp3PacketMeter::~Mp3PacketMeter() = default;

bool Mp3PacketMeter::open(int sampleRate, QString* error) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (!codec) {
        setError(error, QObject::tr("MP3 decoder not found"));
        return false;
    }
    d->decoder.reset(avcodec_alloc_context3(codec));
    d->frame.reset(av_frame_alloc());
    d->packet.reset(av_packet_alloc());
    if (!d->decoder || !d->frame || !d->packet) {
        setError(error, QObject::tr("out of memory opening the MP3 decoder"));
        return false;
    }
    const int opened = avcodec_open2(d->decoder.get(), codec, nullptr);
    if (opened < 0) {
        setError(error,
                 QObject::tr("failed to open the MP3 decoder: %1").arg(ffmpegErrorText(opened)));
        return false;
    }
    return d->meter.open(sampleRate, error);
}

bool Mp3PacketMeter::add(const uint8_t* data, int size) {
    if (!d->error.isEmpty()) {
        return false;
    }
    if (size <= 0) {
        return true;
    }
    if (av_new_packet(d->packet.get(), size) < 0) {
        d->error = QObject::tr("out of memory decoding the MP3 output");
        return false;
    }
    std::copy(data, data + size, d->packet->data);
    const int sent = avcodec_send_packet(d->decoder.get(), d->packet.get());
    av_packet_unref(d->packet.get());
    if (sent < 0 && sent != AVERROR_INVALIDDATA) {
        d->error = QObject::tr("failed to decode the MP3 output: %1").arg(ffmpegErrorText(sent));
        return false;
    }
    return d->receive();
}

std::optional<LoudnessReading> Mp3PacketMeter::reading(QString* error) {
    if (d->error.isEmpty() && avcodec_send_packet(d->decoder.get(), nullptr) >= 0) {
        d->receive();
    }
    if (!d->error.isEmpty()) {
        setError(error, d->error);
        return std::nullopt;
    }
    return d->meter.reading(error);
}

QString Mp3PacketMeter::error() const {
    return d->error;
}

namespace {

// The gain that brings a file measured at `written` (written with `gain`) to the target, or
// nothing when `gain` is already within 0.1 dB of it.
std::optional<LoudnessGain> correction(const LoudnessReading& written, const LoudnessGain& gain,
                                       double targetLufs, double truePeakCeilingDbtp) {
    const LoudnessReading atUnity{written.integratedLufs - gain.gainDb,
                                  written.truePeakDbtp - gain.gainDb};
    const LoudnessGain corrected = loudnessGain(atUnity, targetLufs, truePeakCeilingDbtp);
    if (corrected.outcome == LoudnessOutcome::Silent ||
        std::fabs(corrected.gainDb - gain.gainDb) <= 0.1) {
        return std::nullopt;
    }
    return corrected;
}

std::optional<LoudnessReading> encodeAndMeasure(const AudioBuffer& buffer, double factor,
                                                const QString& path, QString* error) {
    AudioBuffer scaled = buffer;
    if (factor != 1.0) {
        for (double& sample : scaled.samples) {
            sample *= factor;
        }
    }
    if (!encodeMp3(scaled, path, error)) {
        return std::nullopt;
    }
    const std::optional<AudioBuffer> decoded = decodeMp3(path, error);
    if (!decoded) {
        return std::nullopt;
    }
    LoudnessMeter meter;
    if (!meter.open(decoded->sampleRate, error) ||
        !meter.add(decoded->samples.constData(), decoded->samples.size(), error)) {
        return std::nullopt;
    }
    return meter.reading(error);
}

std::optional<LoudnessReading> writeAndMeasure(const TimelinePlan& plan,
                                               const QList<qint64>& lengths,
                                               const TimelineClipLoader& load, const QString& path,
                                               double factor, QString* error,
                                               const StopCheck& stopped) {
    Mp3PacketMeter meter;
    if (!meter.open(plan.sampleRate, error)) {
        return std::nullopt;
    }
    const PacketSink observe = [&meter](const uint8_t* data, int size) {
        return meter.add(data, size);
    };
    if (!writeStreamedTimelineMp3(plan, lengths, OutputLevel::scaledBy(factor), load, path, observe,
                                  error, stopped)) {
        return std::nullopt;
    }
    return meter.reading(error);
}

} // namespace

bool writeStreamedTimelineMp3AtLoudness(const TimelinePlan& plan, const QList<qint64>& lengths,
                                        const TimelineClipLoader& load, const QString& path,
                                        double targetLufs, double truePeakCeilingDbtp,
                                        LoudnessGain& gain, QString* error,
                                        const StopCheck& stopped) {
    if (gain.outcome == LoudnessOutcome::Silent) {
        return writeStreamedTimelineMp3(plan, lengths, OutputLevel::scaledBy(gain.factor), load,
                                        path, error, stopped);
    }
    std::optional<LoudnessReading> measured =
        writeAndMeasure(plan, lengths, load, path, gain.factor, error, stopped);
    if (!measured) {
        return false;
    }
    const std::optional<LoudnessGain> corrected =
        correction(*measured, gain, targetLufs, truePeakCeilingDbtp);
    if (corrected) {
        measured = writeAndMeasure(plan, lengths, load, path, corrected->factor, error, stopped);
        if (!measured) {
            return false;
        }
        gain = *corrected;
    }
    gain.result = *measured;
    return true;
}

bool encodeMp3AtLoudness(const AudioBuffer& scaled, const QString& path, double targetLufs,
                         double truePeakCeilingDbtp, LoudnessGain& gain, QString* error) {
    if (gain.outcome == LoudnessOutcome::Silent) {
        return encodeMp3(scaled, path, error);
    }
    std::optional<LoudnessReading> measured = encodeAndMeasure(scaled, 1.0, path, error);
    if (!measured) {
        return false;
    }
    const std::optional<LoudnessGain> corrected =
        correction(*measured, gain, targetLufs, truePeakCeilingDbtp);
    if (corrected) {
        measured = encodeAndMeasure(scaled, corrected->factor / gain.factor, path, error);
        if (!measured) {
            return false;
        }
        gain = *corrected;
    }
    gain.result = *measured;
    return true;
}

} // namespace lyrane
