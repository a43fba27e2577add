#include "audio/mp3_encoder.h"
#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"

#include <QObject>

#include <cstring>

namespace lyrane {

using audio_detail::setError;

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

int Mp3Encoder::initialPadding() const {
    return d->context ? d->context->initial_padding : 0;
}

} // namespace lyrane
