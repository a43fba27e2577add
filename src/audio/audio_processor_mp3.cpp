#include "audio/audio_processor.h"
#include "audio/audio_processor_internal.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace lyrane {

namespace {

constexpr int kDecodeRate = 44100;

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrFreer {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

// Only a regular file we may have left half-written is removed; never a device or a link.
void removePartialFile(const QString& path) {
    const QFileInfo info(path);
    if (info.isFile() && !info.isSymLink()) {
        QFile::remove(path);
    }
}

} // namespace

namespace detail {

struct Mp3Encoder::State {
    CodecContextPtr context;
    FramePtr frame;
    PacketPtr packet;
    int frameSize = 0;
    int filled = 0;
    bool failed = false;

    bool drain(const PacketSink& sink) {
        while (avcodec_receive_packet(context.get(), packet.get()) >= 0) {
            const bool accepted = sink(packet->data, packet->size);
            av_packet_unref(packet.get());
            if (!accepted) {
                failed = true;
                return false;
            }
        }
        return true;
    }

    bool send(const AVFrame* f, const PacketSink& sink) {
        // A frame the encoder refuses is dropped; its packets are simply missing.
        if (avcodec_send_frame(context.get(), f) < 0) {
            return true;
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
    return true;
}

bool Mp3Encoder::write(const qint16* samples, qint64 count, const PacketSink& sink) {
    if (d->failed || !d->context) {
        return false;
    }
    while (count > 0) {
        if (d->filled == 0 && av_frame_make_writable(d->frame.get()) < 0) {
            d->failed = true;
            return false;
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

bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(Mp3Encoder&, const PacketSink&)>& produce,
                  QString* error) {
    Mp3Encoder encoder;
    if (!encoder.open(sampleRate, bitRate, error)) {
        return false;
    }
    const QByteArray utf8 = path.toUtf8();
    FILE* file = std::fopen(utf8.constData(), "wb");
    if (!file) {
        setError(error, QObject::tr("failed to create MP3 file"));
        return false;
    }
    bool writeFailed = false;
    const PacketSink sink = [&](const uint8_t* data, int size) {
        if (size > 0 &&
            std::fwrite(data, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    const bool produced = produce(encoder, sink) && encoder.finish(sink);
    if (std::fclose(file) != 0) {
        writeFailed = true;
    }
    if (writeFailed || !produced) {
        removePartialFile(path);
        if (writeFailed) {
            setError(error, QObject::tr("failed to write MP3 file"));
        }
        return false;
    }
    return true;
}

qint64 resampledLength(qint64 inputCount, int inputRate, int outputRate) {
    if (inputRate == outputRate) {
        return inputCount;
    }
    return av_rescale_rnd(inputCount, outputRate, inputRate, AV_ROUND_NEAR_INF);
}

} // namespace detail

namespace {

bool encodeSamples(detail::Mp3Encoder& encoder, const QList<double>& samples,
                   const detail::PacketSink& sink) {
    constexpr qsizetype kChunk = 8192;
    qint16 converted[kChunk];
    for (qsizetype offset = 0; offset < samples.size(); offset += kChunk) {
        const qsizetype n = qMin(kChunk, samples.size() - offset);
        const double* in = samples.constData() + offset;
        for (qsizetype k = 0; k < n; ++k) {
            converted[k] = detail::toPcm16(in[k]);
        }
        if (!encoder.write(converted, n, sink)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<QByteArray> AudioProcessor::encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate,
                                                           QString* error) const {
    detail::Mp3Encoder encoder;
    if (!encoder.open(buffer.sampleRate, bitRate, error)) {
        return std::nullopt;
    }
    QByteArray bytes;
    const detail::PacketSink sink = [&bytes](const uint8_t* data, int size) {
        bytes.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    if (!encodeSamples(encoder, buffer.samples, sink) || !encoder.finish(sink)) {
        setError(error, QObject::tr("failed to encode MP3 audio"));
        return std::nullopt;
    }
    return bytes;
}

bool AudioProcessor::encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate,
                               QString* error) const {
    return detail::writeMp3File(
        buffer.sampleRate, bitRate, path,
        [&buffer](detail::Mp3Encoder& encoder, const detail::PacketSink& sink) {
            return encodeSamples(encoder, buffer.samples, sink);
        },
        error);
}

bool AudioProcessor::encodeMp3(const AudioBuffer& buffer, const QString& path,
                               QString* error) const {
    return encodeMp3(buffer, path, kMp3BitRate, error);
}

std::optional<AudioBuffer> AudioProcessor::decodeMp3(const QString& path, QString* error) const {
    const QByteArray utf8 = path.toUtf8();
    AVFormatContext* rawFormat = nullptr;
    if (avformat_open_input(&rawFormat, utf8.constData(), nullptr, nullptr) < 0) {
        setError(error, QObject::tr("failed to open MP3 file: %1").arg(path));
        return std::nullopt;
    }
    FormatPtr format(rawFormat);
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

    AVChannelLayout inLayout;
    if (decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&inLayout, decoder->ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&inLayout, &decoder->ch_layout);
    }
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrPtr resampler(swr_alloc());
    const int inRate = decoder->sample_rate;
    if (resampler) {
        av_opt_set_chlayout(resampler.get(), "in_chlayout", &inLayout, 0);
        av_opt_set_chlayout(resampler.get(), "out_chlayout", &mono, 0);
        av_opt_set_int(resampler.get(), "in_sample_rate", inRate, 0);
        av_opt_set_int(resampler.get(), "out_sample_rate", kDecodeRate, 0);
        av_opt_set_sample_fmt(resampler.get(), "in_sample_fmt", decoder->sample_fmt, 0);
        av_opt_set_sample_fmt(resampler.get(), "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
        swr_init(resampler.get());
    }
    av_channel_layout_uninit(&inLayout);

    AudioBuffer result;
    result.sampleRate = kDecodeRate;
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet || !resampler) {
        return result;
    }

    std::vector<qint16> converted;
    auto append = [&](int n) {
        for (int k = 0; k < n; ++k) {
            result.samples.append(detail::fromPcm16(converted[static_cast<size_t>(k)]));
        }
    };
    auto convertFrame = [&](const AVFrame* f) {
        const qint64 capacity =
            av_rescale_rnd(swr_get_delay(resampler.get(), inRate) + f->nb_samples, kDecodeRate,
                           inRate, AV_ROUND_UP);
        if (capacity <= 0) {
            return;
        }
        converted.assign(static_cast<size_t>(capacity), 0);
        auto* out = reinterpret_cast<uint8_t*>(converted.data());
        const int n = swr_convert(resampler.get(), &out, static_cast<int>(capacity),
                                  const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
        append(n);
    };
    auto receiveFrames = [&]() {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            convertFrame(frame.get());
            av_frame_unref(frame.get());
        }
    };

    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == streamIndex &&
            avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
            receiveFrames();
        }
        av_packet_unref(packet.get());
    }
    // Frames the decoder still holds, then the resampler's buffered tail.
    if (avcodec_send_packet(decoder.get(), nullptr) >= 0) {
        receiveFrames();
    }
    converted.assign(4096, 0);
    for (;;) {
        auto* out = reinterpret_cast<uint8_t*>(converted.data());
        const int n =
            swr_convert(resampler.get(), &out, static_cast<int>(converted.size()), nullptr, 0);
        if (n <= 0) {
            break;
        }
        append(n);
    }
    return result;
}

std::optional<AudioBuffer> AudioProcessor::resample(const AudioBuffer& buffer, int sampleRate,
                                                    QString* error) const {
    if (sampleRate <= 0) {
        setError(error, QObject::tr("invalid target sample rate: %1").arg(sampleRate));
        return std::nullopt;
    }
    if (buffer.sampleRate <= 0) {
        setError(error, QObject::tr("invalid source sample rate: %1").arg(buffer.sampleRate));
        return std::nullopt;
    }
    if (buffer.sampleRate == sampleRate) {
        return buffer;
    }
    AudioBuffer result;
    result.sampleRate = sampleRate;
    const qint64 expected =
        detail::resampledLength(buffer.samples.size(), buffer.sampleRate, sampleRate);
    if (buffer.samples.isEmpty()) {
        return result;
    }

    const QString failed = QObject::tr("failed to resample audio from %1 Hz to %2 Hz")
                               .arg(buffer.sampleRate)
                               .arg(sampleRate);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* rawSwr = nullptr;
    if (swr_alloc_set_opts2(&rawSwr, &mono, AV_SAMPLE_FMT_DBL, sampleRate, &mono, AV_SAMPLE_FMT_DBL,
                            buffer.sampleRate, 0, nullptr) < 0) {
        setError(error, failed);
        return std::nullopt;
    }
    SwrPtr resampler(rawSwr);
    if (swr_init(resampler.get()) < 0) {
        setError(error, failed);
        return std::nullopt;
    }

    result.samples.resize(expected);
    qint64 produced = 0;
    std::vector<double> scratch;
    auto take = [&](const double* data, int n) {
        const qint64 keep = qMin<qint64>(n, expected - produced);
        if (keep > 0) {
            std::memcpy(result.samples.data() + produced, data,
                        sizeof(double) * static_cast<size_t>(keep));
            produced += keep;
        }
    };
    // Converted in slices so the scratch space stays small for long buffers.
    constexpr qint64 kSlice = 1 << 16;
    const qint64 total = buffer.samples.size();
    auto convert = [&](const double* in, int count) {
        const int capacity = swr_get_out_samples(resampler.get(), count) + 16;
        scratch.resize(static_cast<size_t>(capacity));
        auto* out = reinterpret_cast<uint8_t*>(scratch.data());
        const auto* inData = reinterpret_cast<const uint8_t*>(in);
        const int n = swr_convert(resampler.get(), &out, capacity, in ? &inData : nullptr, count);
        if (n > 0) {
            take(scratch.data(), n);
        }
        return n;
    };
    for (qint64 offset = 0; offset < total; offset += kSlice) {
        const int count = static_cast<int>(qMin(kSlice, total - offset));
        if (convert(buffer.samples.constData() + offset, count) < 0) {
            setError(error, failed);
            return std::nullopt;
        }
    }
    for (;;) {
        const int n = convert(nullptr, 0);
        if (n < 0) {
            setError(error, failed);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
    }
    // Length is fixed by the rate ratio so callers can plan with it; any short tail is silent.
    for (qint64 k = produced; k < expected; ++k) {
        result.samples[k] = 0.0;
    }
    return result;
}

std::optional<AudioBuffer> AudioProcessor::loadAudio(const QString& path, QString* error) const {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("wav")) {
        if (auto buffer = readWav(path, nullptr)) {
            return buffer;
        }
        QString upgradeError;
        if (!ensureWavFile(path, kDecodeRate, &upgradeError)) {
            setError(error, upgradeError);
            return std::nullopt;
        }
        return readWav(path, error);
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
        return decodePcm16Mono(bytes, kDecodeRate, error);
    }
    if (suffix == QLatin1String("mp3")) {
        return decodeMp3(path, error);
    }
    setError(error,
             QObject::tr("unsupported audio format: %1 (only .wav, .pcm, and .mp3 supported)")
                 .arg(suffix));
    return std::nullopt;
}

} // namespace lyrane
