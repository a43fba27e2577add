#include "audio/mp3_codec.h"
#include "audio/atomic_output.h"
#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace lyrane {

using audio_detail::setError;

// ---- Encoding ---------------------------------------------------------------------------

struct Mp3Encoder::State {
    CodecContextPtr context;
    FramePtr frame;
    PacketPtr packet;
    int frameSize = 0;
    int filled = 0;
    bool failed = false;
    QString encoderError;

    bool fail(const QString& message) {
        failed = true;
        encoderError = message;
        return false;
    }

    bool drain(const PacketSink& sink) {
        for (;;) {
            const int result = avcodec_receive_packet(context.get(), packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return true;
            }
            if (result < 0) {
                return fail(QObject::tr("the MP3 encoder failed: %1").arg(ffmpegErrorText(result)));
            }
            const bool accepted = sink(packet->data, packet->size);
            av_packet_unref(packet.get());
            if (!accepted) {
                failed = true;
                return false;
            }
        }
    }

    bool send(const AVFrame* f, const PacketSink& sink) {
        const int result = avcodec_send_frame(context.get(), f);
        if (result < 0) {
            return fail(
                QObject::tr("the MP3 encoder refused audio: %1").arg(ffmpegErrorText(result)));
        }
        return drain(sink);
    }
};

Mp3Encoder::Mp3Encoder() : d(std::make_unique<State>()) {}
Mp3Encoder::~Mp3Encoder() = default;

bool Mp3Encoder::open(int sampleRate, int bitRate, QString* error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP3);
    if (!codec) {
        setError(error, QObject::tr("MP3 encoder not found"));
        return false;
    }
    const QString openFailed = QObject::tr("failed to open MP3 encoder");
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        setError(error, openFailed);
        return false;
    }
    context->bit_rate = bitRate;
    context->sample_fmt = AV_SAMPLE_FMT_S16P;
    context->sample_rate = sampleRate;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    av_channel_layout_copy(&context->ch_layout, &mono);
    if (avcodec_open2(context.get(), codec, nullptr) < 0 || context->frame_size <= 0) {
        setError(error, openFailed);
        return false;
    }
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) {
        setError(error, openFailed);
        return false;
    }
    frame->nb_samples = context->frame_size;
    frame->format = context->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        setError(error, openFailed);
        return false;
    }
    d->frameSize = context->frame_size;
    d->context = std::move(context);
    d->frame = std::move(frame);
    d->packet = std::move(packet);
    d->filled = 0;
    d->failed = false;
    d->encoderError.clear();
    return true;
}

bool Mp3Encoder::write(const qint16* samples, qint64 count, const PacketSink& sink) {
    if (d->failed || !d->context) {
        return false;
    }
    while (count > 0) {
        if (d->filled == 0) {
            const int result = av_frame_make_writable(d->frame.get());
            if (result < 0) {
                return d->fail(
                    QObject::tr("the MP3 encoder failed: %1").arg(ffmpegErrorText(result)));
            }
        }
        auto* plane = reinterpret_cast<qint16*>(d->frame->data[0]);
        const int n = static_cast<int>(qMin<qint64>(count, d->frameSize - d->filled));
        std::memcpy(plane + d->filled, samples, sizeof(qint16) * static_cast<size_t>(n));
        d->filled += n;
        samples += n;
        count -= n;
        if (d->filled == d->frameSize) {
            d->filled = 0;
            if (!d->send(d->frame.get(), sink)) {
                return false;
            }
        }
    }
    return true;
}

bool Mp3Encoder::finish(const PacketSink& sink) {
    if (d->failed || !d->context) {
        return false;
    }
    if (d->filled > 0) {
        // Silence after the last sample, so the whole buffer reaches the encoder.
        auto* plane = reinterpret_cast<qint16*>(d->frame->data[0]);
        std::memset(plane + d->filled, 0,
                    sizeof(qint16) * static_cast<size_t>(d->frameSize - d->filled));
        d->filled = 0;
        if (!d->send(d->frame.get(), sink)) {
            return false;
        }
    }
    return d->send(nullptr, sink);
}

QString Mp3Encoder::encoderError() const {
    return d->encoderError;
}

bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(Mp3Encoder&, const PacketSink&)>& produce,
                  QString* error) {
    Mp3Encoder encoder;
    if (!encoder.open(sampleRate, bitRate, error)) {
        return false;
    }
    // The target is replaced only once the file is whole (a device or pipe is written
    // directly), so an interrupted run never leaves a partial file under the final name.
    AtomicOutput output(path);
    QFile file;
    if (!output.open(file)) {
        setError(error, QObject::tr("failed to create MP3 file"));
        return false;
    }
    bool writeFailed = false;
    const PacketSink sink = [&](const uint8_t* data, int size) {
        if (size > 0 && file.write(reinterpret_cast<const char*>(data), size) != size) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    const bool produced = produce(encoder, sink) && encoder.finish(sink);
    if (produced && !writeFailed) {
        writeFailed = !output.finish(file, nullptr);
    }
    if (writeFailed || !produced) {
        if (writeFailed) {
            setError(error, QObject::tr("failed to write MP3 file"));
        } else if (!encoder.encoderError().isEmpty()) {
            setError(
                error,
                QObject::tr("failed to encode MP3 file %1: %2").arg(path, encoder.encoderError()));
        }
        return false;
    }
    return true;
}

namespace {

bool encodeSamples(Mp3Encoder& encoder, const QList<double>& samples, const PacketSink& sink) {
    constexpr qsizetype kChunk = 8192;
    qint16 converted[kChunk];
    for (qsizetype offset = 0; offset < samples.size(); offset += kChunk) {
        const qsizetype n = qMin(kChunk, samples.size() - offset);
        const double* in = samples.constData() + offset;
        for (qsizetype k = 0; k < n; ++k) {
            converted[k] = toPcm16(in[k]);
        }
        if (!encoder.write(converted, n, sink)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<QByteArray> encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate, QString* error) {
    Mp3Encoder encoder;
    if (!encoder.open(buffer.sampleRate, bitRate, error)) {
        return std::nullopt;
    }
    QByteArray bytes;
    const PacketSink sink = [&bytes](const uint8_t* data, int size) {
        bytes.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    if (!encodeSamples(encoder, buffer.samples, sink) || !encoder.finish(sink)) {
        setError(error, QObject::tr("failed to encode MP3 audio"));
        return std::nullopt;
    }
    return bytes;
}

bool encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate, QString* error) {
    return writeMp3File(
        buffer.sampleRate, bitRate, path,
        [&buffer](Mp3Encoder& encoder, const PacketSink& sink) {
            return encodeSamples(encoder, buffer.samples, sink);
        },
        error);
}

bool encodeMp3(const AudioBuffer& buffer, const QString& path, QString* error) {
    return encodeMp3(buffer, path, kMp3BitRate, error);
}

// ---- Decoding ---------------------------------------------------------------------------

namespace {

// Sample rates a decoded stream may have; outside them the stream is not audio we can use.
constexpr int kMinDecodeInputRate = 1;
constexpr int kMaxDecodeInputRate = 768000;

// Converts decoded frames to mono 16-bit at kMp3DecodeRate and appends them to the clip. The
// resampler is set up from each frame's own layout, rate and format, and set up again (after
// its buffered tail is taken) whenever a frame differs from the one before.
class FrameConverter {
public:
    FrameConverter(const QString& path, AudioBuffer& clip) : m_path(path), m_clip(clip) {}
    ~FrameConverter() { av_channel_layout_uninit(&m_layout); }
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    bool convert(const AVFrame* frame, QString* error) {
        if (frame->nb_samples <= 0) {
            return true;
        }
        if (!configure(frame, error)) {
            return false;
        }
        const qint64 capacity =
            av_rescale_rnd(swr_get_delay(m_swr.get(), m_rate) + frame->nb_samples, kMp3DecodeRate,
                           m_rate, AV_ROUND_UP);
        if (capacity <= 0) {
            return true;
        }
        m_converted.assign(static_cast<size_t>(capacity), 0);
        auto* out = reinterpret_cast<uint8_t*>(m_converted.data());
        const int n =
            swr_convert(m_swr.get(), &out, static_cast<int>(capacity),
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        return append(n, error);
    }

    // The resampler's buffered tail.
    bool flush(QString* error) {
        if (!m_swr) {
            return true;
        }
        m_converted.assign(4096, 0);
        for (;;) {
            auto* out = reinterpret_cast<uint8_t*>(m_converted.data());
            const int n =
                swr_convert(m_swr.get(), &out, static_cast<int>(m_converted.size()), nullptr, 0);
            if (n == 0) {
                return true;
            }
            if (!append(n, error)) {
                return false;
            }
        }
    }

private:
    bool append(int n, QString* error) {
        if (n < 0) {
            setError(error, QObject::tr("failed to convert the audio of %1: %2")
                                .arg(m_path, ffmpegErrorText(n)));
            return false;
        }
        const qsizetype at = m_clip.samples.size();
        m_clip.samples.resize(at + n);
        double* out = m_clip.samples.data() + at;
        for (int k = 0; k < n; ++k) {
            out[k] = fromPcm16(m_converted[static_cast<size_t>(k)]);
        }
        return true;
    }

    bool configure(const AVFrame* frame, QString* error) {
        const int rate = frame->sample_rate;
        const int format = frame->format;
        AVChannelLayout layout;
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
        } else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
            setError(error, QObject::tr("out of memory while decoding %1").arg(m_path));
            return false;
        }
        const bool same = m_swr && rate == m_rate && format == m_format &&
                          av_channel_layout_compare(&layout, &m_layout) == 0;
        if (same) {
            av_channel_layout_uninit(&layout);
            return true;
        }
        if (!flush(error)) {
            av_channel_layout_uninit(&layout);
            return false;
        }
        av_channel_layout_uninit(&m_layout);
        m_layout = layout;
        m_rate = rate;
        m_format = format;
        m_swr.reset();
        if (rate < kMinDecodeInputRate || rate > kMaxDecodeInputRate) {
            setError(error, QObject::tr("invalid sample rate %1 Hz in %2").arg(rate).arg(m_path));
            return false;
        }
        if (m_layout.nb_channels < 1) {
            setError(error, QObject::tr("no audio channels in %1").arg(m_path));
            return false;
        }
        SwrContextPtr swr(swr_alloc());
        if (!swr) {
            setError(error, QObject::tr("out of memory while decoding %1").arg(m_path));
            return false;
        }
        const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        av_opt_set_chlayout(swr.get(), "in_chlayout", &m_layout, 0);
        av_opt_set_chlayout(swr.get(), "out_chlayout", &mono, 0);
        av_opt_set_int(swr.get(), "in_sample_rate", rate, 0);
        av_opt_set_int(swr.get(), "out_sample_rate", kMp3DecodeRate, 0);
        av_opt_set_sample_fmt(swr.get(), "in_sample_fmt", static_cast<AVSampleFormat>(format), 0);
        av_opt_set_sample_fmt(swr.get(), "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
        const int result = swr_init(swr.get());
        if (result < 0) {
            setError(error, QObject::tr("cannot convert the audio of %1: %2")
                                .arg(m_path, ffmpegErrorText(result)));
            return false;
        }
        m_swr = std::move(swr);
        return true;
    }

    const QString& m_path;
    AudioBuffer& m_clip;
    SwrContextPtr m_swr;
    AVChannelLayout m_layout{};
    int m_rate = 0;
    int m_format = -1;
    std::vector<qint16> m_converted;
};

} // namespace

std::optional<AudioBuffer> decodeMp3(const QString& path, QString* error) {
    const QByteArray utf8 = path.toUtf8();
    AVFormatContext* rawFormat = nullptr;
    // A clip cached as MP3 is read as MP3 only: no other demuxer gets to parse it.
    const AVInputFormat* mp3 = av_find_input_format("mp3");
    if (!mp3 || avformat_open_input(&rawFormat, utf8.constData(), mp3, nullptr) < 0) {
        setError(error, QObject::tr("failed to open MP3 file: %1").arg(path));
        return std::nullopt;
    }
    FormatContextPtr format(rawFormat);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        setError(error, QObject::tr("failed to find stream info"));
        return std::nullopt;
    }
    int streamIndex = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            streamIndex = static_cast<int>(i);
            break;
        }
    }
    if (streamIndex < 0) {
        setError(error, QObject::tr("no audio stream found"));
        return std::nullopt;
    }
    const AVCodecParameters* parameters = format->streams[streamIndex]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) {
        setError(error, QObject::tr("codec not found"));
        return std::nullopt;
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) {
        setError(error, QObject::tr("failed to copy codec parameters"));
        return std::nullopt;
    }
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        setError(error, QObject::tr("failed to open codec"));
        return std::nullopt;
    }

    AudioBuffer result;
    result.sampleRate = kMp3DecodeRate;
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) {
        setError(error, QObject::tr("out of memory while decoding %1").arg(path));
        return std::nullopt;
    }
    FrameConverter converter(path, result);
    const auto outOfMemory = [&] {
        setError(error, QObject::tr("out of memory while decoding %1").arg(path));
        return std::nullopt;
    };
    // Frames the decoder has ready. Damaged frames are skipped, as players do; running out of
    // memory is not a damaged frame.
    const auto receiveFrames = [&]() {
        for (;;) {
            const int received = avcodec_receive_frame(decoder.get(), frame.get());
            if (received == AVERROR(ENOMEM)) {
                setError(error, QObject::tr("out of memory while decoding %1").arg(path));
                return false;
            }
            if (received < 0) {
                return true;
            }
            const bool converted = converter.convert(frame.get(), error);
            av_frame_unref(frame.get());
            if (!converted) {
                return false;
            }
        }
    };

    for (;;) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read == AVERROR(ENOMEM)) {
            return outOfMemory();
        }
        if (read < 0) {
            break;
        }
        if (packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(decoder.get(), packet.get());
            if (sent == AVERROR(ENOMEM)) {
                av_packet_unref(packet.get());
                return outOfMemory();
            }
            if (sent >= 0 && !receiveFrames()) {
                av_packet_unref(packet.get());
                return std::nullopt;
            }
        }
        av_packet_unref(packet.get());
    }
    // Frames the decoder still holds, then the resampler's buffered tail.
    if (avcodec_send_packet(decoder.get(), nullptr) >= 0 && !receiveFrames()) {
        return std::nullopt;
    }
    if (!converter.flush(error)) {
        return std::nullopt;
    }
    return result;
}

} // namespace lyrane
