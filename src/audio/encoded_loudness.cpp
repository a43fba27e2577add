#include "audio/encoded_loudness.h"

#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/mp3_codec.h"
#include "audio/mp3_decoding.h"

#include <QObject>

#include <cmath>
#include <vector>

namespace lyrane {

using audio_detail::setError;

struct EncodedPacketMeter::State {
    CodecContextPtr decoder;
    FramePtr frame;
    PacketPtr packet;
    LoudnessMeter meter;
    int channels = 1;
    std::vector<double> samples; // interleaved
    QString error;

    bool receive() {
        for (;;) {
            const int received = avcodec_receive_frame(decoder.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return true;
            }
            if (received < 0) {
                error = QObject::tr("failed to decode the %1 output: %2")
                            .arg(codecLabel(), ffmpegErrorText(received));
                return false;
            }
            const int n = frame->nb_samples;
            if (frame->ch_layout.nb_channels != channels) {
                error = QObject::tr("unexpected channels decoding the %1 output").arg(codecLabel());
                return false;
            }
            samples.resize(static_cast<size_t>(n) * static_cast<size_t>(channels));
            const bool planar = av_sample_fmt_is_planar(AVSampleFormat(frame->format));
            for (int c = 0; c < channels; ++c) {
                // Planar: one plane per channel; packed: every channel in the first.
                const uint8_t* data = frame->extended_data[planar ? c : 0];
                const int stride = planar ? 1 : channels;
                const int first = planar ? 0 : c;
                for (int k = 0; k < n; ++k) {
                    const int at = first + k * stride;
                    double& sample = samples[size_t(k) * size_t(channels) + size_t(c)];
                    switch (frame->format) {
                    case AV_SAMPLE_FMT_FLTP:
                    case AV_SAMPLE_FMT_FLT:
                        sample = reinterpret_cast<const float*>(data)[at];
                        break;
                    case AV_SAMPLE_FMT_S16P:
                    case AV_SAMPLE_FMT_S16:
                        sample = reinterpret_cast<const int16_t*>(data)[at] / 32768.0;
                        break;
                    default:
                        error = QObject::tr("unexpected sample format decoding the %1 output")
                                    .arg(codecLabel());
                        return false;
                    }
                }
            }
            av_frame_unref(frame.get());
            if (!meter.add(samples.data(), n, &error)) {
                return false;
            }
        }
    }

    // The codec as messages name it: "MP3", "AAC".
    QString codecLabel() const {
        return QString::fromUtf8(avcodec_get_name(decoder ? decoder->codec_id : AV_CODEC_ID_NONE))
            .toUpper();
    }

    bool open(const AVCodec* codec, const AVCodecContext* encoder, int sampleRate, QString* error) {
        decoder.reset(avcodec_alloc_context3(codec));
        frame.reset(av_frame_alloc());
        packet.reset(av_packet_alloc());
        if (!decoder || !frame || !packet) {
            setError(error, QObject::tr("out of memory opening the %1 decoder")
                                .arg(QString::fromUtf8(avcodec_get_name(codec->id)).toUpper()));
            return false;
        }
        if (encoder) {
            // The decoder learns what the encoder made: rate, channels, and the codec's own
            // setup (AAC's in its extradata when the container keeps it in a global header).
            ParametersPtr parameters(avcodec_parameters_alloc());
            int rc = parameters ? avcodec_parameters_from_context(parameters.get(), encoder)
                                : AVERROR(ENOMEM);
            if (rc >= 0) {
                rc = avcodec_parameters_to_context(decoder.get(), parameters.get());
            }
            if (rc < 0) {
                setError(error, QObject::tr("failed to open the %1 decoder: %2")
                                    .arg(codecLabel(), ffmpegErrorText(rc)));
                return false;
            }
            channels = encoder->ch_layout.nb_channels;
        }
        const int opened = avcodec_open2(decoder.get(), codec, nullptr);
        if (opened < 0) {
            setError(error, QObject::tr("failed to open the %1 decoder: %2")
                                .arg(codecLabel(), ffmpegErrorText(opened)));
            return false;
        }
        return meter.open(sampleRate, channels, error);
    }
};

EncodedPacketMeter::EncodedPacketMeter() : d(std::make_unique<State>()) {}
EncodedPacketMeter::~EncodedPacketMeter() = default;

bool EncodedPacketMeter::open(int sampleRate, QString* error) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (!codec) {
        setError(error, QObject::tr("MP3 decoder not found"));
        return false;
    }
    return d->open(codec, nullptr, sampleRate, error);
}

bool EncodedPacketMeter::open(const AVCodecContext* encoder, QString* error) {
    const AVCodec* codec = avcodec_find_decoder(encoder->codec_id);
    if (!codec) {
        setError(error, QObject::tr("%1 decoder not found")
                            .arg(QString::fromUtf8(avcodec_get_name(encoder->codec_id))));
        return false;
    }
    return d->open(codec, encoder, encoder->sample_rate, error);
}

bool EncodedPacketMeter::add(const uint8_t* data, int size) {
    if (!d->error.isEmpty()) {
        return false;
    }
    if (size <= 0) {
        return true;
    }
    if (av_new_packet(d->packet.get(), size) < 0) {
        d->error = QObject::tr("out of memory decoding the %1 output").arg(d->codecLabel());
        return false;
    }
    std::copy(data, data + size, d->packet->data);
    const int sent = avcodec_send_packet(d->decoder.get(), d->packet.get());
    av_packet_unref(d->packet.get());
    if (sent < 0 && sent != AVERROR_INVALIDDATA) {
        d->error = QObject::tr("failed to decode the %1 output: %2")
                       .arg(d->codecLabel(), ffmpegErrorText(sent));
        return false;
    }
    return d->receive();
}

std::optional<LoudnessReading> EncodedPacketMeter::reading(QString* error) {
    if (d->error.isEmpty() && avcodec_send_packet(d->decoder.get(), nullptr) >= 0) {
        d->receive();
    }
    if (!d->error.isEmpty()) {
        setError(error, d->error);
        return std::nullopt;
    }
    return d->meter.reading(error);
}

QString EncodedPacketMeter::error() const {
    return d->error;
}

std::optional<LoudnessGain> loudnessCorrection(const LoudnessReading& written,
                                               const LoudnessGain& gain, double targetLufs,
                                               double truePeakCeilingDbtp) {
    const LoudnessReading atUnity{written.integratedLufs - gain.gainDb,
                                  written.truePeakDbtp - gain.gainDb, written.loudnessRangeLu};
    const LoudnessGain corrected = loudnessGain(atUnity, targetLufs, truePeakCeilingDbtp);
    if (corrected.outcome == LoudnessOutcome::Silent ||
        std::fabs(corrected.gainDb - gain.gainDb) <= 0.1) {
        return std::nullopt;
    }
    return corrected;
}

namespace {

std::optional<LoudnessReading> encodeAndMeasure(const AudioBuffer& buffer, double factor,
                                                const QString& path, QString* error, int threads) {
    AudioBuffer scaled = buffer;
    if (factor != 1.0) {
        for (double& sample : scaled.samples) {
            sample *= factor;
        }
    }
    Mp3WriteOptions options;
    options.threads = threads;
    if (!encodeMp3(scaled, path, kMp3BitRate, error, options)) {
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
                                               const StopCheck& stopped, int threads) {
    EncodedPacketMeter meter;
    if (!meter.open(plan.sampleRate, error)) {
        return std::nullopt;
    }
    const PacketSink observe = [&meter](const uint8_t* data, int size) {
        return meter.add(data, size);
    };
    if (!writeStreamedTimelineMp3(plan, lengths, OutputLevel::scaledBy(factor), load, path, observe,
                                  error, stopped, threads)) {
        return std::nullopt;
    }
    return meter.reading(error);
}

} // namespace

bool writeStreamedTimelineMp3AtLoudness(const TimelinePlan& plan, const QList<qint64>& lengths,
                                        const TimelineClipLoader& load, const QString& path,
                                        double targetLufs, double truePeakCeilingDbtp,
                                        LoudnessGain& gain, QString* error,
                                        const StopCheck& stopped, int threads) {
    if (gain.outcome == LoudnessOutcome::Silent) {
        return writeStreamedTimelineMp3(plan, lengths, OutputLevel::scaledBy(gain.factor), load,
                                        path, error, stopped, threads);
    }
    std::optional<LoudnessReading> measured =
        writeAndMeasure(plan, lengths, load, path, gain.factor, error, stopped, threads);
    if (!measured) {
        return false;
    }
    const std::optional<LoudnessGain> corrected =
        loudnessCorrection(*measured, gain, targetLufs, truePeakCeilingDbtp);
    if (corrected) {
        measured =
            writeAndMeasure(plan, lengths, load, path, corrected->factor, error, stopped, threads);
        if (!measured) {
            return false;
        }
        gain = *corrected;
    }
    gain.result = *measured;
    return true;
}

bool encodeMp3AtLoudness(const AudioBuffer& scaled, const QString& path, double targetLufs,
                         double truePeakCeilingDbtp, LoudnessGain& gain, QString* error,
                         int threads) {
    Mp3WriteOptions options;
    options.threads = threads;
    if (gain.outcome == LoudnessOutcome::Silent) {
        return encodeMp3(scaled, path, kMp3BitRate, error, options);
    }
    std::optional<LoudnessReading> measured = encodeAndMeasure(scaled, 1.0, path, error, threads);
    if (!measured) {
        return false;
    }
    const std::optional<LoudnessGain> corrected =
        loudnessCorrection(*measured, gain, targetLufs, truePeakCeilingDbtp);
    if (corrected) {
        measured = encodeAndMeasure(scaled, corrected->factor / gain.factor, path, error, threads);
        if (!measured) {
            return false;
        }
        gain = *corrected;
    }
    gain.result = *measured;
    return true;
}

} // namespace lyrane
