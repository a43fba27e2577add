#include "audio/programme_input.h"
#include "audio/audio_error.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace lyrane {

using namespace ffmpeg;

namespace {

using audio_detail::fail;

} // namespace

InputFile openProgrammeFile(const QString& path, QString* error) {
    AVFormatContext* raw = nullptr;
    // An absolute path: a name with a colon is never taken for a protocol.
    const QByteArray name = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    int rc = avformat_open_input(&raw, name.constData(), nullptr, nullptr);
    if (rc < 0) {
        fail(error, QObject::tr("cannot open %1: %2").arg(path, errorText(rc)));
        return {};
    }
    InputFile input(raw);
    rc = avformat_find_stream_info(raw, nullptr);
    if (rc < 0) {
        fail(error, QObject::tr("cannot read the streams of %1: %2").arg(path, errorText(rc)));
        return {};
    }
    return input;
}

bool isAttachedPicture(const AVStream* stream) {
    return stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
}

bool isVideoStream(const AVStream* stream) {
    return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !isAttachedPicture(stream);
}

std::vector<int> audioStreamIndices(const AVFormatContext* file) {
    std::vector<int> indices;
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        if (file->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            indices.push_back(int(i));
        }
    }
    return indices;
}

qint64 fileDurationMs(const AVFormatContext* file) {
    if (file->duration != AV_NOPTS_VALUE && file->duration > 0) {
        return file->duration / 1000; // AV_TIME_BASE is microseconds
    }
    qint64 longest = 0;
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        const AVStream* stream = file->streams[i];
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            longest = std::max<qint64>(
                longest, av_rescale_q(stream->duration, stream->time_base, AVRational{1, 1000}));
        }
    }
    return longest;
}

QString codecName(const AVCodecParameters* parameters) {
    return QString::fromUtf8(avcodec_get_name(parameters->codec_id));
}

QString streamKind(const AVStream* stream) {
    switch (stream->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        return isAttachedPicture(stream) ? QObject::tr("picture") : QObject::tr("video");
    case AVMEDIA_TYPE_AUDIO:
        return QObject::tr("audio");
    case AVMEDIA_TYPE_SUBTITLE:
        return QObject::tr("subtitle");
    case AVMEDIA_TYPE_ATTACHMENT:
        return QObject::tr("attachment");
    default:
        return QObject::tr("data");
    }
}

int addCopiedStream(AVFormatContext* output, const AVStream* in) {
    AVStream* out = avformat_new_stream(output, nullptr);
    if (!out) {
        return AVERROR(ENOMEM);
    }
    const int rc = avcodec_parameters_copy(out->codecpar, in->codecpar);
    if (rc < 0) {
        return rc;
    }
    out->codecpar->codec_tag = 0;
    out->time_base = in->time_base;
    out->disposition = in->disposition;
    out->avg_frame_rate = in->avg_frame_rate;
    out->r_frame_rate = in->r_frame_rate;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    av_dict_copy(&out->metadata, in->metadata, 0);
    return out->index;
}

ProgrammeInput::~ProgrammeInput() {
    av_channel_layout_uninit(&fromLayout);
}

bool ProgrammeInput::open(const QString& programmePath, int audioStream, int narrationRate,
                          QString* error) {
    path = programmePath;
    input = openProgrammeFile(path, error);
    if (!input) {
        return false;
    }
    packetCounts.assign(input->nb_streams, 0);
    const std::vector<int> audioStreams = audioStreamIndices(input.get());
    if (audioStream < 0 || (audioStream > 0 && audioStream >= int(audioStreams.size()))) {
        return fail(error, QObject::tr("%1 has no audio stream %2 (it has %3 audio streams)")
                               .arg(path)
                               .arg(audioStream)
                               .arg(audioStreams.size()));
    }
    if (audioStreams.empty()) {
        rate = narrationRate;
        channels = 1;
        channelQueues.resize(1);
        return true;
    }
    audio = audioStreams[size_t(audioStream)];
    const AVStream* stream = input->streams[audio];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        return fail(error, QObject::tr("cannot decode the audio of %1: no decoder for %2")
                               .arg(path, codecName(stream->codecpar)));
    }
    decoder.reset(avcodec_alloc_context3(codec));
    int rc =
        decoder ? avcodec_parameters_to_context(decoder.get(), stream->codecpar) : AVERROR(ENOMEM);
    if (rc >= 0) {
        decoder->pkt_timebase = stream->time_base;
        rc = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (rc < 0) {
        return fail(error,
                    QObject::tr("cannot decode the audio of %1: %2").arg(path, errorText(rc)));
    }
    if (decoder->sample_rate <= 0 || decoder->ch_layout.nb_channels <= 0) {
        return fail(
            error,
            QObject::tr("cannot decode the audio of %1: unknown rate or channels").arg(path));
    }
    rate = decoder->sample_rate;
    channels = decoder->ch_layout.nb_channels == 1 ? 1 : 2;
    channelQueues.resize(size_t(channels));
    return true;
}

void ProgrammeInput::close() {
    input.reset();
}

qint64 ProgrammeInput::fromFileStart(const AVStream* stream, qint64 time) const {
    if (input->start_time != AV_NOPTS_VALUE) {
        time -= av_rescale_q(input->start_time, AVRational{1, AV_TIME_BASE}, stream->time_base);
    }
    return time;
}

qint64 ProgrammeInput::toMixSamples(const AVStream* stream, qint64 time) const {
    return av_rescale_q(fromFileStart(stream, time), stream->time_base, AVRational{1, rate});
}

int ProgrammeInput::read(AVPacket* packet) {
    const int rc = av_read_frame(input.get(), packet);
    if (rc >= 0 && packet->stream_index >= 0 &&
        size_t(packet->stream_index) < packetCounts.size()) {
        ++packetCounts[size_t(packet->stream_index)];
    }
    return rc;
}

bool ProgrammeInput::decode(const AVPacket* packet, qint64 mixed, QString* error) {
    int rc = avcodec_send_packet(decoder.get(), packet);
    if (rc == AVERROR_INVALIDDATA) {
        return true; // a damaged packet costs its own sound only
    }
    if (rc < 0 && rc != AVERROR_EOF) {
        return fail(error,
                    QObject::tr("cannot decode the audio of %1: %2").arg(path, errorText(rc)));
    }
    Frame frame(av_frame_alloc());
    if (!frame) {
        return fail(
            error,
            QObject::tr("cannot decode the audio of %1: %2").arg(path, errorText(AVERROR(ENOMEM))));
    }
    while (true) {
        rc = avcodec_receive_frame(decoder.get(), frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return true;
        }
        if (rc == AVERROR_INVALIDDATA) {
            continue;
        }
        if (rc < 0) {
            return fail(error,
                        QObject::tr("cannot decode the audio of %1: %2").arg(path, errorText(rc)));
        }
        const bool queued = queue(frame.get(), mixed, error);
        av_frame_unref(frame.get());
        if (!queued) {
            return false;
        }
    }
}

bool ProgrammeInput::flushConversion(qint64 mixed, QString* error) {
    return !resampler || convert(nullptr, mixed, error); // nothing decoded, nothing to flush
}

QString ProgrammeInput::convertFailure(int code) const {
    return QObject::tr("cannot convert the audio of %1: %2").arg(path, errorText(code));
}

bool ProgrammeInput::rebuildConversion(const AVFrame* frame, qint64 mixed, QString* error) {
    // What the conversion of the earlier shape still holds goes first.
    if (resampler && !convert(nullptr, mixed, error)) {
        return false;
    }
    av_channel_layout_uninit(&fromLayout);
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&fromLayout, frame->ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&fromLayout, &frame->ch_layout) < 0) {
        return fail(error, convertFailure(AVERROR(ENOMEM)));
    }
    fromRate = frame->sample_rate;
    fromFormat = frame->format;
    ChannelLayout mixLayout(channels);
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &mixLayout.layout, AV_SAMPLE_FMT_DBLP, rate, &fromLayout,
                                 AVSampleFormat(fromFormat), fromRate, 0, nullptr);
    resampler.reset(raw);
    if (rc >= 0) {
        rc = swr_init(raw);
    }
    if (rc < 0) {
        resampler.reset();
        return fail(error, convertFailure(rc));
    }
    return true;
}

bool ProgrammeInput::queue(const AVFrame* frame, qint64 mixed, QString* error) {
    const bool sameShape = resampler && frame->sample_rate == fromRate &&
                           frame->format == fromFormat &&
                           (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC
                                ? frame->ch_layout.nb_channels == fromLayout.nb_channels
                                : av_channel_layout_compare(&frame->ch_layout, &fromLayout) == 0);
    if (!sameShape && !rebuildConversion(frame, mixed, error)) {
        return false;
    }
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        // Each frame goes where its time says: silence fills a gap or a late start, and sound
        // for a time already mixed (before the file's start, or overlapping) is dropped.
        // Differences within 20 ms are the resampler's delay and rounding, and are let be.
        const qint64 at = toMixSamples(input->streams[audio], frame->best_effort_timestamp);
        const qint64 queueEnd = mixed + queued();
        if (!started || std::llabs(at - queueEnd) > rate / 50) {
            if (at > queueEnd) {
                for (SampleQueue& channel : channelQueues) {
                    channel.appendSilence(at - queueEnd);
                }
                skip = 0;
            } else {
                skip = queueEnd - at;
            }
        }
        started = true;
    }
    return convert(frame, mixed, error);
}

bool ProgrammeInput::convert(const AVFrame* frame, qint64 mixed, QString* error) {
    const int inCount = frame ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(resampler.get(), inCount) + 16;
    std::vector<std::vector<double>> converted(static_cast<size_t>(channels),
                                               std::vector<double>(static_cast<size_t>(room)));
    std::vector<uint8_t*> planes;
    for (std::vector<double>& plane : converted) {
        planes.push_back(reinterpret_cast<uint8_t*>(plane.data()));
    }
    const int made =
        swr_convert(resampler.get(), planes.data(), room,
                    frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inCount);
    if (made < 0) {
        return fail(error, convertFailure(made));
    }
    const qint64 skipped = std::min<qint64>(skip, made);
    skip -= skipped;
    for (int c = 0; c < channels; ++c) {
        channelQueues[size_t(c)].append(converted[size_t(c)].data() + skipped, made - skipped);
    }
    programmeEnd = std::max(programmeEnd, mixed + queued());
    return true;
}

} // namespace lyrane
