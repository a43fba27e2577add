#include "telephone_encoding.h"

#include "audio/ffmpeg_handles.h"

#include <QObject>

#include <algorithm>

namespace lyrane::speechd {

namespace {

constexpr int kSamplesPerFrame = 4096;

} // namespace

std::optional<QByteArray> encodeTelephone(const AudioBuffer& audio, TelephoneLaw law,
                                          QString* error) {
    const auto fail = [error](const QString& message) -> std::optional<QByteArray> {
        if (error)
            *error = message;
        return std::nullopt;
    };
    const AVCodec* codec = avcodec_find_encoder(law == TelephoneLaw::MuLaw ? AV_CODEC_ID_PCM_MULAW
                                                                           : AV_CODEC_ID_PCM_ALAW);
    if (!codec)
        return fail(QObject::tr("FFmpeg has no G.711 encoder"));
    CodecContextPtr context(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet)
        return fail(QObject::tr("out of memory for the G.711 encoder"));
    context->sample_fmt = AV_SAMPLE_FMT_S16;
    context->sample_rate = audio.sampleRate;
    context->time_base = AVRational{1, audio.sampleRate};
    av_channel_layout_default(&context->ch_layout, 1);
    if (const int code = avcodec_open2(context.get(), codec, nullptr); code < 0)
        return fail(QObject::tr("could not open the G.711 encoder: %1").arg(ffmpegErrorText(code)));

    QByteArray encoded;
    encoded.reserve(audio.samples.size());
    const auto drain = [&]() -> int {
        for (;;) {
            const int code = avcodec_receive_packet(context.get(), packet.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                return 0;
            if (code < 0)
                return code;
            encoded.append(reinterpret_cast<const char*>(packet->data), packet->size);
            av_packet_unref(packet.get());
        }
    };
    for (qsizetype offset = 0; offset < audio.samples.size(); offset += kSamplesPerFrame) {
        const int count =
            static_cast<int>(std::min<qsizetype>(kSamplesPerFrame, audio.samples.size() - offset));
        av_frame_unref(frame.get());
        frame->format = AV_SAMPLE_FMT_S16;
        frame->sample_rate = audio.sampleRate;
        frame->nb_samples = count;
        av_channel_layout_default(&frame->ch_layout, 1);
        if (const int code = av_frame_get_buffer(frame.get(), 0); code < 0)
            return fail(QObject::tr("could not allocate audio: %1").arg(ffmpegErrorText(code)));
        auto* out = reinterpret_cast<int16_t*>(frame->data[0]);
        for (int i = 0; i < count; ++i) {
            const double v = std::clamp(audio.samples[offset + i] * 32767.0, -32768.0, 32767.0);
            out[i] = static_cast<int16_t>(v);
        }
        frame->pts = offset;
        int code = avcodec_send_frame(context.get(), frame.get());
        if (code >= 0)
            code = drain();
        if (code < 0)
            return fail(QObject::tr("G.711 encoding failed: %1").arg(ffmpegErrorText(code)));
    }
    int code = avcodec_send_frame(context.get(), nullptr);
    if (code >= 0)
        code = drain();
    if (code < 0)
        return fail(QObject::tr("G.711 encoding failed: %1").arg(ffmpegErrorText(code)));
    return encoded;
}

} // namespace lyrane::speechd
