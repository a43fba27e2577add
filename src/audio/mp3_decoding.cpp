#include "audio/mp3_decoding.h"
#include "audio/audio_error.h"
#include "audio/ffmpeg_handles.h"

#include <QObject>

#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace lyrane {

using audio_detail::setError;

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

// ---- Checking a stream held in memory ----------------------------------------------------

namespace {

constexpr qsizetype kId3v1Size = 128;

// The MP3 frames of a stream: without a leading ID3v2 tag or a trailing ID3v1 tag.
std::optional<QByteArray> mp3Frames(const QByteArray& bytes, QString* error) {
    qsizetype begin = 0;
    if (bytes.startsWith("ID3") && bytes.size() >= 10) {
        const auto* h = reinterpret_cast<const uchar*>(bytes.constData());
        const qsizetype body = (qsizetype(h[6] & 0x7f) << 21) | (qsizetype(h[7] & 0x7f) << 14) |
                               (qsizetype(h[8] & 0x7f) << 7) | qsizetype(h[9] & 0x7f);
        const bool footer = (h[5] & 0x10) != 0;
        begin = 10 + body + (footer ? 10 : 0);
        if (begin > bytes.size()) {
            setError(error, QObject::tr("MP3 stream ends inside its ID3 tag"));
            return std::nullopt;
        }
    }
    qsizetype end = bytes.size();
    if (end - begin >= kId3v1Size && bytes.mid(end - kId3v1Size, 3) == "TAG") {
        end -= kId3v1Size;
    }
    return bytes.mid(begin, end - begin);
}

// Receives every frame the decoder has ready; false on a decoding error.
bool drainFrames(AVCodecContext* decoder, AVFrame* frame, Mp3StreamFacts* facts, QString* error) {
    for (;;) {
        const int received = avcodec_receive_frame(decoder, frame);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        if (received < 0) {
            setError(error,
                     QObject::tr("MP3 stream does not decode: %1").arg(ffmpegErrorText(received)));
            return false;
        }
        if (facts->samples > 0 && frame->sample_rate != facts->sampleRate) {
            setError(error, QObject::tr("MP3 stream changes its sample rate"));
            return false;
        }
        if (facts->samples == 0) {
            facts->channels = frame->ch_layout.nb_channels;
        }
        facts->sampleRate = frame->sample_rate;
        facts->samples += frame->nb_samples;
        av_frame_unref(frame);
    }
}

} // namespace

std::optional<Mp3StreamFacts> checkMp3Stream(const QByteArray& bytes, QString* error) {
    const auto failed = [error](const QString& what, int code) {
        setError(
            error,
            QObject::tr("MP3 stream does not decode: %1 (%2)").arg(what, ffmpegErrorText(code)));
        return std::nullopt;
    };
    std::optional<QByteArray> frames = mp3Frames(bytes, error);
    if (!frames) {
        return std::nullopt;
    }
    const qsizetype size = frames->size();
    // The parser reads a little past the end of what it is given.
    frames->append(QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (!codec) {
        return failed(QStringLiteral("no MP3 decoder"), AVERROR_DECODER_NOT_FOUND);
    }
    ParserPtr parser(av_parser_init(AV_CODEC_ID_MP3));
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!parser || !decoder || !frame || !packet) {
        return failed(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    }
    // Report damage instead of concealing it.
    decoder->err_recognition |= AV_EF_EXPLODE;
    int code = avcodec_open2(decoder.get(), codec, nullptr);
    if (code < 0) {
        return failed(QStringLiteral("cannot open the decoder"), code);
    }

    Mp3StreamFacts facts;
    qsizetype handedOn = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(frames->constData());
    qsizetype offset = 0;
    bool flushed = false;
    while (!flushed) {
        const int chunk = static_cast<int>(qMin<qsizetype>(size - offset, 1 << 20));
        flushed = chunk == 0; // an empty input asks the parser for what it holds
        uint8_t* out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser.get(), decoder.get(), &out, &outSize,
                                          data + offset, chunk, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) {
            return failed(QStringLiteral("cannot find its frames"), used);
        }
        offset += used;
        if (outSize <= 0) {
            if (used == 0 && chunk > 0) {
                return failed(QStringLiteral("its parser stopped"), AVERROR_BUG);
            }
            continue;
        }
        // The parser hands a frame on once it has all the bytes its header announces; what
        // only the end of the input brings out is a frame cut short, or bytes after the last.
        if (flushed) {
            setError(error, QObject::tr("MP3 stream ends inside a frame: its last %1 bytes are "
                                        "not a whole frame")
                                .arg(outSize));
            return std::nullopt;
        }
        handedOn += outSize;
        packet->data = out;
        packet->size = outSize;
        code = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (code < 0) {
            return failed(QStringLiteral("a damaged frame"), code);
        }
        if (!drainFrames(decoder.get(), frame.get(), &facts, error)) {
            return std::nullopt;
        }
    }
    if (handedOn != size) {
        setError(error, QObject::tr("MP3 stream ends inside a frame: %1 of its %2 bytes are not "
                                    "whole frames")
                            .arg(size - handedOn)
                            .arg(size));
        return std::nullopt;
    }
    if ((code = avcodec_send_packet(decoder.get(), nullptr)) < 0) {
        return failed(QStringLiteral("cannot flush the decoder"), code);
    }
    if (!drainFrames(decoder.get(), frame.get(), &facts, error)) {
        return std::nullopt;
    }
    if (facts.samples == 0) {
        setError(error, QObject::tr("MP3 stream holds no audio"));
        return std::nullopt;
    }
    return facts;
}

} // namespace lyrane
