#pragma once

// FFmpeg objects owned by unique_ptr with the library's own free functions, and the one
// place an FFmpeg error code becomes text.

#include <QString>

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace lyrane {

struct FormatContextCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrContextFreer {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParserCloser {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct ParametersFreer {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserCloser>;
using ParametersPtr = std::unique_ptr<AVCodecParameters, ParametersFreer>;

// FFmpeg's description of an error code (av_strerror).
QString ffmpegErrorText(int code);

} // namespace lyrane

// The names the programme mix uses, plus the owners only it needs: an output file and a
// channel layout.
namespace lyrane::ffmpeg {

using InputFile = FormatContextPtr;
using Codec = CodecContextPtr;
using Frame = FramePtr;
using Packet = PacketPtr;
using Resampler = SwrContextPtr;

struct OutputCloser {
    void operator()(AVFormatContext* context) const {
        if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
using OutputFile = std::unique_ptr<AVFormatContext, OutputCloser>;

struct ChannelLayout {
    AVChannelLayout layout{};
    explicit ChannelLayout(int channels) { av_channel_layout_default(&layout, channels); }
    ~ChannelLayout() { av_channel_layout_uninit(&layout); }
    ChannelLayout(const ChannelLayout&) = delete;
    ChannelLayout& operator=(const ChannelLayout&) = delete;
};

inline QString errorText(int code) {
    return ffmpegErrorText(code);
}

} // namespace lyrane::ffmpeg
