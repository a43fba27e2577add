#include "audio/programme_mix.h"

#include "audio/encoded_loudness.h"
#include "audio/ffmpeg_handles.h"
#include "audio/narration_stream.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace lyrane {

using namespace ffmpeg;

namespace {

// Samples per encoded frame for encoders that take any size (PCM).
constexpr int kPcmFrameSamples = 4096;

bool fail(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
    return false;
}

InputFile openInput(const QString& path, QString* error) {
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

bool isPicture(const AVStream* stream) {
    return stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
}

bool isVideo(const AVStream* stream) {
    return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !isPicture(stream);
}

std::vector<int> audioStreamIndices(const AVFormatContext* input) {
    std::vector<int> indices;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            indices.push_back(int(i));
        }
    }
    return indices;
}

qint64 fileDurationMs(const AVFormatContext* input) {
    if (input->duration != AV_NOPTS_VALUE && input->duration > 0) {
        return input->duration / 1000; // AV_TIME_BASE is microseconds
    }
    qint64 longest = 0;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
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
        return isPicture(stream) ? QObject::tr("picture") : QObject::tr("video");
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

const AVCodec* encoderFor(MixedOutputKind kind) {
    switch (kind) {
    case MixedOutputKind::Wav:
        return avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    case MixedOutputKind::Mp3:
        if (const AVCodec* lame = avcodec_find_encoder_by_name("libmp3lame")) {
            return lame;
        }
        return avcodec_find_encoder(AV_CODEC_ID_MP3);
    case MixedOutputKind::M4a:
    case MixedOutputKind::Video:
        return avcodec_find_encoder_by_name("aac");
    }
    return nullptr;
}

// The programme's own rate where the encoder takes it, else the nearest rate it does take.
int encoderRate(const AVCodec* codec, int wanted) {
    if (!codec->supported_samplerates) {
        return wanted;
    }
    int best = 0;
    for (const int* rate = codec->supported_samplerates; *rate; ++rate) {
        if (*rate == wanted) {
            return wanted;
        }
        if (best == 0 || std::abs(*rate - wanted) < std::abs(best - wanted)) {
            best = *rate;
        }
    }
    return best;
}

AVSampleFormat encoderFormat(const AVCodec* codec) {
    if (!codec->sample_fmts) {
        return AV_SAMPLE_FMT_S16;
    }
    for (const AVSampleFormat preferred :
         {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P}) {
        for (const AVSampleFormat* format = codec->sample_fmts; *format != AV_SAMPLE_FMT_NONE;
             ++format) {
            if (*format == preferred) {
                return preferred;
            }
        }
    }
    return AV_SAMPLE_FMT_NONE;
}

qint16 toPcm16(double value) {
    return qint16(std::lrint(std::clamp(value, -1.0, 32767.0 / 32768.0) * 32768.0));
}

// How one pass over the programme treats the mix.
struct MixPass {
    double gain = 1.0;         // on every sample of the mix
    bool measureOnly = false;  // mix and meter the samples, write nothing
    bool meterPackets = false; // decode what the encoder makes and meter that
};

// Everything one pass over the programme holds; the steps below fill it in order.
class ProgrammeMix {
public:
    ProgrammeMix(const ProgrammeMixSettings& settings, const NarrationSource& narration,
                 const QString& outputPath, MixedOutputKind kind, MixPass pass,
                 ProgrammeMixReport* report)
        : settings(settings), narration(narration), outputPath(outputPath), report(report),
          kind(kind), pass(pass) {}

    // Mixes into `writePath`, or nowhere for a pass that only measures.
    bool run(const QString& writePath, QString* error);
    // What the pass metered: the mix's samples, or the packets written.
    std::optional<LoudnessReading> reading(QString* error);

private:
    bool openProgramme(QString* error);
    bool openOutput(const QString& writePath, QString* error);
    bool addCopiedStream(int inputIndex, QString* error);
    bool addMixedStream(QString* error);
    bool copyPacket(AVPacket* packet, QString* error);
    bool decodeProgramme(const AVPacket* packet, QString* error);
    bool queueProgramme(const AVFrame* frame, QString* error);
    bool mixAvailable(QString* error);
    bool mixUntil(qint64 end, QString* error);
    bool keepPace(const AVPacket& packet, QString* error);
    bool encodeMixed(qint64 count, QString* error);
    bool sendToEncoder(const AVFrame* frame, QString* error);
    bool writePacket(AVPacket* packet, QString* error);
    bool finishVideo(QString* error);
    bool runInto(const QString& writePath, QString* error);
    QString writeFailure(int code) const {
        return QObject::tr("cannot write %1: %2").arg(outputPath, errorText(code));
    }

    const ProgrammeMixSettings& settings;
    const NarrationSource& narration;
    const QString outputPath;
    ProgrammeMixReport* report;
    const MixedOutputKind kind;
    const MixPass pass;
    LoudnessMeter mixMeter;           // measureOnly: the mix as made, before it is clamped
    EncodedPacketMeter packetMeter;   // meterPackets: the encoder's packets, decoded
    std::vector<double> meteredSlice; // interleaved channels

    InputFile input;
    int programmeAudio = -1; // input stream index, -1: the programme has no audio
    Codec decoder;
    Resampler programmeResampler;
    bool programmeStarted = false;
    qint64 skipProgramme = 0; // decoded samples already passed on the timeline, still to drop
    qint64 programmeEnd = 0;  // where the programme's sound ends on the timeline
    qint64 timelineEnd = 0;   // the file's length at the mix rate

    OutputFile output;
    Codec encoder;
    int mixRate = 0;
    int mixChannels = 1;
    int frameSamples = kPcmFrameSamples;
    std::vector<int> streamMap; // input stream -> output stream, -1: not carried
    int mixedStream = -1;
    int keptStream = -1;
    std::vector<Packet> heldVideo; // per output stream: its latest packet, written one late
    std::vector<qint64> videoEnd;  // per output stream: latest pts + duration, output time base

    std::vector<SampleQueue> programme; // per mix channel
    NarrationStream narrationReader;
    std::optional<DuckingEnvelope> envelope;
    qint64 narrationLength = 0; // at the mix rate
    qint64 mixed = 0;           // samples sent to the encoder
    std::vector<double> narrationSlice;
    std::vector<double> gainSlice;
    Frame encodeFrame = Frame(av_frame_alloc());
    Packet encodedPacket = Packet(av_packet_alloc());
};

bool ProgrammeMix::openProgramme(QString* error) {
    input = openInput(settings.programmePath, error);
    if (!input) {
        return false;
    }
    const std::vector<int> audio = audioStreamIndices(input.get());
    if (settings.audioStream < 0 ||
        (settings.audioStream > 0 && settings.audioStream >= int(audio.size()))) {
        return fail(error, QObject::tr("%1 has no audio stream %2 (it has %3 audio streams)")
                               .arg(settings.programmePath)
                               .arg(settings.audioStream)
                               .arg(audio.size()));
    }
    if (audio.empty()) {
        mixRate = narration.sampleRate;
        mixChannels = 1;
        return true;
    }
    programmeAudio = audio[size_t(settings.audioStream)];
    const AVStream* stream = input->streams[programmeAudio];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        return fail(error, QObject::tr("cannot decode the audio of %1: no decoder for %2")
                               .arg(settings.programmePath, codecName(stream->codecpar)));
    }
    decoder.reset(avcodec_alloc_context3(codec));
    int rc =
        decoder ? avcodec_parameters_to_context(decoder.get(), stream->codecpar) : AVERROR(ENOMEM);
    if (rc >= 0) {
        decoder->pkt_timebase = stream->time_base;
        rc = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (rc < 0) {
        return fail(error, QObject::tr("cannot decode the audio of %1: %2")
                               .arg(settings.programmePath, errorText(rc)));
    }
    if (decoder->sample_rate <= 0 || decoder->ch_layout.nb_channels <= 0) {
        return fail(error, QObject::tr("cannot decode the audio of %1: unknown rate or channels")
                               .arg(settings.programmePath));
    }
    mixRate = decoder->sample_rate;
    mixChannels = decoder->ch_layout.nb_channels == 1 ? 1 : 2;
    return true;
}

bool ProgrammeMix::addCopiedStream(int inputIndex, QString* error) {
    const AVStream* in = input->streams[inputIndex];
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    const int rc = avcodec_parameters_copy(out->codecpar, in->codecpar);
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    out->codecpar->codec_tag = 0;
    out->time_base = in->time_base;
    out->disposition = in->disposition;
    out->avg_frame_rate = in->avg_frame_rate;
    out->r_frame_rate = in->r_frame_rate;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    av_dict_copy(&out->metadata, in->metadata, 0);
    streamMap[size_t(inputIndex)] = out->index;
    return true;
}

bool ProgrammeMix::addMixedStream(QString* error) {
    const AVCodec* codec = encoderFor(kind);
    if (!codec) {
        return fail(
            error,
            QObject::tr("cannot write %1: this FFmpeg has no encoder for it").arg(outputPath));
    }
    mixRate = encoderRate(codec, mixRate);
    const AVSampleFormat format = encoderFormat(codec);
    if (mixRate <= 0 || format == AV_SAMPLE_FMT_NONE) {
        return fail(error, QObject::tr("cannot write %1: the %2 encoder takes no usable format")
                               .arg(outputPath, QString::fromUtf8(codec->name)));
    }
    encoder.reset(avcodec_alloc_context3(codec));
    if (!encoder) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    av_channel_layout_default(&encoder->ch_layout, mixChannels);
    encoder->sample_rate = mixRate;
    encoder->sample_fmt = format;
    encoder->time_base = AVRational{1, mixRate};
    if (kind != MixedOutputKind::Wav) {
        encoder->bit_rate = mixChannels == 1 ? 128000 : 192000;
    }
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(encoder.get(), codec, nullptr);
    if (rc < 0) {
        return fail(error, QObject::tr("cannot write %1: the %2 encoder refused %3 Hz: %4")
                               .arg(outputPath, QString::fromUtf8(codec->name))
                               .arg(mixRate)
                               .arg(errorText(rc)));
    }
    if (encoder->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
        frameSamples = encoder->frame_size;
    }
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    rc = avcodec_parameters_from_context(out->codecpar, encoder.get());
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    out->time_base = encoder->time_base;
    out->disposition = AV_DISPOSITION_DEFAULT;
    if (kind == MixedOutputKind::Video || kind == MixedOutputKind::M4a) {
        if (!settings.audioLanguage.isEmpty()) {
            av_dict_set(&out->metadata, "language", settings.audioLanguage.toUtf8().constData(), 0);
        }
        if (!settings.audioTitle.isEmpty()) {
            const QByteArray title = settings.audioTitle.toUtf8();
            av_dict_set(&out->metadata, "title", title.constData(), 0);
            // MP4 and QuickTime players show a track's handler name as its title.
            if (!QFileInfo(outputPath).suffix().toLower().startsWith(QLatin1String("mk"))) {
                av_dict_set(&out->metadata, "handler_name", title.constData(), 0);
            }
        }
    }
    mixedStream = out->index;
    return true;
}

bool ProgrammeMix::openOutput(const QString& writePath, QString* error) {
    const QByteArray name = QFile::encodeName(outputPath);
    const AVOutputFormat* format = av_guess_format(nullptr, name.constData(), nullptr);
    AVFormatContext* raw = nullptr;
    const int rc = avformat_alloc_output_context2(&raw, format, nullptr, name.constData());
    if (rc < 0 || !raw) {
        return fail(error, QObject::tr("cannot write %1: %2").arg(outputPath, errorText(rc)));
    }
    output.reset(raw);
    streamMap.assign(input->nb_streams, -1);
    const QString container = QFileInfo(outputPath).suffix().toUpper();

    // Video first, then the mix, then the untouched programme sound, then the rest.
    if (kind == MixedOutputKind::Video) {
        for (unsigned i = 0; i < input->nb_streams; ++i) {
            const AVStream* stream = input->streams[i];
            if (!isVideo(stream)) {
                continue;
            }
            if (avformat_query_codec(output->oformat, stream->codecpar->codec_id,
                                     FF_COMPLIANCE_NORMAL) != 1) {
                return fail(error, QObject::tr("%1: the %2 container cannot hold the video of %3 "
                                               "(%4)")
                                       .arg(outputPath, container, settings.programmePath,
                                            codecName(stream->codecpar)));
            }
            if (!addCopiedStream(int(i), error)) {
                return false;
            }
        }
    }
    if (!addMixedStream(error)) {
        return false;
    }
    if (kind == MixedOutputKind::Video && settings.keepOriginalAudio && programmeAudio >= 0) {
        const AVStream* stream = input->streams[programmeAudio];
        if (avformat_query_codec(output->oformat, stream->codecpar->codec_id,
                                 FF_COMPLIANCE_NORMAL) != 1) {
            return fail(error, QObject::tr("%1: the %2 container cannot hold the original audio "
                                           "of %3 (%4)")
                                   .arg(outputPath, container, settings.programmePath,
                                        codecName(stream->codecpar)));
        }
        if (!addCopiedStream(programmeAudio, error)) {
            return false;
        }
        keptStream = streamMap[size_t(programmeAudio)];
        output->streams[keptStream]->disposition &= ~AV_DISPOSITION_DEFAULT;
        streamMap[size_t(programmeAudio)] = -1; // its packets go to the decoder and then here
    }
    if (kind == MixedOutputKind::Video) {
        for (unsigned i = 0; i < input->nb_streams; ++i) {
            const AVStream* stream = input->streams[i];
            const AVMediaType type = stream->codecpar->codec_type;
            if (isVideo(stream) || type == AVMEDIA_TYPE_AUDIO) {
                continue; // audio other than the mixed programme is replaced by the mix
            }
            if (stream->codecpar->codec_id == AV_CODEC_ID_NONE ||
                avformat_query_codec(output->oformat, stream->codecpar->codec_id,
                                     FF_COMPLIANCE_NORMAL) != 1) {
                if (report) {
                    report->skippedStreams.append(QObject::tr("%1 stream %2 (%3)")
                                                      .arg(streamKind(stream))
                                                      .arg(i)
                                                      .arg(codecName(stream->codecpar)));
                }
                continue;
            }
            if (!addCopiedStream(int(i), error)) {
                return false;
            }
        }
    }
    heldVideo.resize(output->nb_streams);
    videoEnd.assign(output->nb_streams, AV_NOPTS_VALUE);
    if (pass.measureOnly) {
        return mixMeter.open(mixRate, mixChannels, error);
    }
    if (pass.meterPackets && !packetMeter.open(encoder.get(), error)) {
        return false;
    }

    if (!(output->oformat->flags & AVFMT_NOFILE)) {
        const int opened =
            avio_open(&output->pb, QFile::encodeName(writePath).constData(), AVIO_FLAG_WRITE);
        if (opened < 0) {
            return fail(error, writeFailure(opened));
        }
    }
    AVDictionary* options = nullptr;
    if (kind == MixedOutputKind::Wav) {
        av_dict_set(&options, "rf64", "auto", 0); // past 4 GiB the file becomes RF64
    }
    const int written = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (written < 0) {
        return fail(error, written == AVERROR(EINVAL)
                               ? QObject::tr("%1: the %2 container cannot hold these streams")
                                     .arg(outputPath, container)
                               : writeFailure(written));
    }
    return true;
}

bool ProgrammeMix::writePacket(AVPacket* packet, QString* error) {
    const int rc = av_interleaved_write_frame(output.get(), packet);
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    return true;
}

bool ProgrammeMix::copyPacket(AVPacket* packet, QString* error) {
    if (pass.measureOnly) {
        return true;
    }
    const int target = packet->stream_index == programmeAudio
                           ? keptStream
                           : streamMap[size_t(packet->stream_index)];
    if (target < 0) {
        return true;
    }
    const AVStream* in = input->streams[packet->stream_index];
    AVStream* out = output->streams[target];
    // Times start at the file's start, as the mix does.
    if (input->start_time != AV_NOPTS_VALUE) {
        const qint64 shift = av_rescale_q(input->start_time, AV_TIME_BASE_Q, in->time_base);
        if (packet->pts != AV_NOPTS_VALUE) {
            packet->pts -= shift;
        }
        if (packet->dts != AV_NOPTS_VALUE) {
            packet->dts -= shift;
        }
    }
    av_packet_rescale_ts(packet, in->time_base, out->time_base);
    packet->stream_index = target;
    packet->pos = -1;
    if (!isVideo(in)) {
        return writePacket(packet, error);
    }
    if (packet->pts != AV_NOPTS_VALUE) {
        const qint64 end = packet->pts + packet->duration;
        videoEnd[size_t(target)] = videoEnd[size_t(target)] == AV_NOPTS_VALUE
                                       ? end
                                       : std::max(videoEnd[size_t(target)], end);
    }
    // The last packet of each video stream waits, so the stream can be stretched to the end.
    Packet& held = heldVideo[size_t(target)];
    if (held && !writePacket(held.get(), error)) {
        return false;
    }
    if (!held) {
        held.reset(av_packet_alloc());
        if (!held) {
            return fail(error, writeFailure(AVERROR(ENOMEM)));
        }
    }
    av_packet_move_ref(held.get(), packet);
    return true;
}

bool ProgrammeMix::queueProgramme(const AVFrame* frame, QString* error) {
    if (!frame && !programmeResampler) {
        return true; // nothing was decoded, nothing to flush
    }
    if (!programmeResampler) {
        ChannelLayout mixLayout(mixChannels);
        AVChannelLayout inLayout{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&inLayout, frame->ch_layout.nb_channels);
        } else {
            av_channel_layout_copy(&inLayout, &frame->ch_layout);
        }
        SwrContext* raw = nullptr;
        int rc =
            swr_alloc_set_opts2(&raw, &mixLayout.layout, AV_SAMPLE_FMT_DBLP, mixRate, &inLayout,
                                AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        programmeResampler.reset(raw);
        if (rc >= 0) {
            rc = swr_init(raw);
        }
        if (rc < 0) {
            return fail(error, QObject::tr("cannot convert the audio of %1: %2")
                                   .arg(settings.programmePath, errorText(rc)));
        }
    }
    if (frame && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        // Each frame goes where its time says: silence fills a gap or a late start, and sound
        // for a time already mixed (before the file's start, or overlapping) is dropped.
        // Differences within 20 ms are the resampler's delay and rounding, and are let be.
        const AVStream* stream = input->streams[programmeAudio];
        qint64 at = frame->best_effort_timestamp;
        if (input->start_time != AV_NOPTS_VALUE) {
            at -= av_rescale_q(input->start_time, AV_TIME_BASE_Q, stream->time_base);
        }
        at = av_rescale_q(at, stream->time_base, AVRational{1, mixRate});
        const qint64 queueEnd = mixed + programme.front().size();
        if (!programmeStarted || std::llabs(at - queueEnd) > mixRate / 50) {
            if (at > queueEnd) {
                for (SampleQueue& channel : programme) {
                    channel.appendSilence(at - queueEnd);
                }
                skipProgramme = 0;
            } else {
                skipProgramme = queueEnd - at;
            }
        }
        programmeStarted = true;
    }
    const int inCount = frame ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(programmeResampler.get(), inCount) + 16;
    std::vector<std::vector<double>> converted(static_cast<size_t>(mixChannels),
                                               std::vector<double>(static_cast<size_t>(room)));
    std::vector<uint8_t*> planes;
    for (std::vector<double>& plane : converted) {
        planes.push_back(reinterpret_cast<uint8_t*>(plane.data()));
    }
    const int made =
        swr_convert(programmeResampler.get(), planes.data(), room,
                    frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inCount);
    if (made < 0) {
        return fail(error, QObject::tr("cannot convert the audio of %1: %2")
                               .arg(settings.programmePath, errorText(made)));
    }
    const qint64 skipped = std::min<qint64>(skipProgramme, made);
    skipProgramme -= skipped;
    for (int c = 0; c < mixChannels; ++c) {
        programme[size_t(c)].append(converted[size_t(c)].data() + skipped, made - skipped);
    }
    programmeEnd = std::max(programmeEnd, mixed + programme.front().size());
    return true;
}

bool ProgrammeMix::decodeProgramme(const AVPacket* packet, QString* error) {
    int rc = avcodec_send_packet(decoder.get(), packet);
    if (rc == AVERROR_INVALIDDATA) {
        return true; // a damaged packet costs its own sound only
    }
    if (rc < 0 && rc != AVERROR_EOF) {
        return fail(error, QObject::tr("cannot decode the audio of %1: %2")
                               .arg(settings.programmePath, errorText(rc)));
    }
    Frame frame(av_frame_alloc());
    if (!frame) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    while (true) {
        rc = avcodec_receive_frame(decoder.get(), frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            break;
        }
        if (rc == AVERROR_INVALIDDATA) {
            continue;
        }
        if (rc < 0) {
            return fail(error, QObject::tr("cannot decode the audio of %1: %2")
                                   .arg(settings.programmePath, errorText(rc)));
        }
        const bool queued = queueProgramme(frame.get(), error);
        av_frame_unref(frame.get());
        if (!queued) {
            return false;
        }
    }
    return mixAvailable(error);
}

// Mixes whole frames while the programme has decoded sound for them.
bool ProgrammeMix::mixAvailable(QString* error) {
    while (programme.front().size() >= frameSamples) {
        if (!encodeMixed(frameSamples, error)) {
            return false;
        }
    }
    return true;
}

// Keeps the mix up with the other streams, so the muxer never holds much of them: without
// programme sound the narration follows the packets' times directly; with it, the mix runs
// ahead only where the programme's sound has fallen ten seconds behind the other streams,
// taking the programme as silent there.
bool ProgrammeMix::keepPace(const AVPacket& packet, QString* error) {
    const AVStream* stream = input->streams[packet.stream_index];
    qint64 at = packet.dts;
    if (input->start_time != AV_NOPTS_VALUE) {
        at -= av_rescale_q(input->start_time, AV_TIME_BASE_Q, stream->time_base);
    }
    at = av_rescale_q(at, stream->time_base, AVRational{1, mixRate});
    const qint64 lag = programmeAudio < 0 ? 0 : qint64(mixRate) * 10;
    const qint64 until = std::min(
        at - lag, programmeAudio < 0 ? narrationLength : std::max(narrationLength, timelineEnd));
    return mixUntil(until - until % frameSamples, error);
}

// Mixes up to `end` samples, the programme silent where it has nothing queued.
bool ProgrammeMix::mixUntil(qint64 end, QString* error) {
    while (mixed < end) {
        if (stopRequested(narration.stopped)) {
            return fail(error, QObject::tr("stopped before the output was complete"));
        }
        if (!encodeMixed(std::min<qint64>(frameSamples, end - mixed), error)) {
            return false;
        }
    }
    return true;
}

bool ProgrammeMix::encodeMixed(qint64 count, QString* error) {
    narrationSlice.resize(size_t(count));
    gainSlice.resize(size_t(count));
    if (!narrationReader.take(narrationSlice.data(), count, error)) {
        return false;
    }
    envelope->fill(mixed, gainSlice.data(), count);
    const double* narrationSamples = narrationSlice.data();
    const double* gains = gainSlice.data();

    if (pass.measureOnly) {
        meteredSlice.resize(size_t(count) * size_t(mixChannels));
        for (int c = 0; c < mixChannels; ++c) {
            SampleQueue& queue = programme[size_t(c)];
            const qint64 available = std::min(count, queue.size());
            const double* sound = queue.data();
            for (qint64 i = 0; i < count; ++i) {
                meteredSlice[size_t(i * mixChannels + c)] =
                    ((i < available ? sound[i] * gains[i] : 0.0) + narrationSamples[i]) * pass.gain;
            }
            queue.drop(available);
        }
        mixed += count;
        return mixMeter.add(meteredSlice.data(), count, error);
    }

    AVFrame* frame = encodeFrame.get();
    av_frame_unref(frame);
    frame->nb_samples = int(count);
    frame->format = encoder->sample_fmt;
    frame->sample_rate = mixRate;
    int rc = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    if (rc >= 0) {
        rc = av_frame_get_buffer(frame, 0);
    }
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    for (int c = 0; c < mixChannels; ++c) {
        SampleQueue& queue = programme[size_t(c)];
        const qint64 available = std::min(count, queue.size());
        const double* sound = queue.data();
        for (qint64 i = 0; i < count; ++i) {
            // The narration sits in the centre: the same signal on every channel. The pass's
            // gain (1 without a loudness target) scales the whole mix alike.
            const double value =
                ((i < available ? sound[i] * gains[i] : 0.0) + narrationSamples[i]) * pass.gain;
            switch (encoder->sample_fmt) {
            case AV_SAMPLE_FMT_FLTP:
                reinterpret_cast<float*>(frame->extended_data[c])[i] =
                    float(std::clamp(value, -1.0, 1.0));
                break;
            case AV_SAMPLE_FMT_FLT:
                reinterpret_cast<float*>(frame->data[0])[i * mixChannels + c] =
                    float(std::clamp(value, -1.0, 1.0));
                break;
            case AV_SAMPLE_FMT_S16P:
                reinterpret_cast<qint16*>(frame->extended_data[c])[i] = toPcm16(value);
                break;
            default:
                reinterpret_cast<qint16*>(frame->data[0])[i * mixChannels + c] = toPcm16(value);
                break;
            }
        }
        queue.drop(available);
    }
    frame->pts = mixed;
    mixed += count;
    return sendToEncoder(frame, error);
}

bool ProgrammeMix::sendToEncoder(const AVFrame* frame, QString* error) {
    int rc = avcodec_send_frame(encoder.get(), frame);
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    AVPacket* packet = encodedPacket.get();
    while (true) {
        rc = avcodec_receive_packet(encoder.get(), packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return true;
        }
        if (rc < 0) {
            return fail(error, writeFailure(rc));
        }
        if (pass.meterPackets && !packetMeter.add(packet->data, packet->size)) {
            return fail(error, packetMeter.error());
        }
        av_packet_rescale_ts(packet, encoder->time_base, output->streams[mixedStream]->time_base);
        packet->stream_index = mixedStream;
        if (!writePacket(packet, error)) {
            return false;
        }
    }
}

// Writes the held last packet of each video stream; when the narration outlasts the
// programme, that packet's duration reaches the end of the mix, so the last picture stays.
bool ProgrammeMix::finishVideo(QString* error) {
    for (size_t s = 0; s < heldVideo.size(); ++s) {
        Packet& held = heldVideo[s];
        if (!held) {
            continue;
        }
        if (report && report->extendedByMs > 0 && videoEnd[s] != AV_NOPTS_VALUE) {
            const qint64 end =
                av_rescale_q(mixed, AVRational{1, mixRate}, output->streams[s]->time_base);
            if (end > videoEnd[s]) {
                held->duration += end - videoEnd[s];
            }
        }
        if (!writePacket(held.get(), error)) {
            return false;
        }
        held.reset();
    }
    return true;
}

bool ProgrammeMix::runInto(const QString& writePath, QString* error) {
    if (!openOutput(writePath, error)) {
        return false;
    }
    programme.resize(size_t(mixChannels));
    if (!narrationReader.open(narration, mixRate, error)) {
        return false;
    }
    const AVRational narrationBase{1, narration.sampleRate};
    const AVRational mixBase{1, mixRate};
    narrationLength = av_rescale_q(narration.totalSamples, narrationBase, mixBase);
    QList<DuckRegion> regions;
    if (settings.duckDb > 0) {
        QList<SampleSpan> spans;
        spans.reserve(narration.clips.size());
        for (const SampleSpan& clip : narration.clips) {
            spans.append(SampleSpan{av_rescale_q(clip.start, narrationBase, mixBase),
                                    av_rescale_q(clip.end, narrationBase, mixBase)});
        }
        regions = planDuckRegions(spans, qint64(settings.duckAttackMs) * mixRate / 1000,
                                  qint64(settings.duckReleaseMs) * mixRate / 1000);
    }
    envelope.emplace(regions, duckGainFromDb(settings.duckDb));
    timelineEnd = av_rescale_q(fileDurationMs(input.get()), AVRational{1, 1000}, mixBase);

    Packet packet(av_packet_alloc());
    if (!packet) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    while (true) {
        if (stopRequested(narration.stopped)) {
            return fail(error, QObject::tr("stopped before the output was complete"));
        }
        const int rc = av_read_frame(input.get(), packet.get());
        if (rc == AVERROR_EOF) {
            break;
        }
        if (rc < 0) {
            return fail(
                error,
                QObject::tr("cannot read %1: %2").arg(settings.programmePath, errorText(rc)));
        }
        const int index = packet->stream_index;
        if (index == programmeAudio && !decodeProgramme(packet.get(), error)) {
            return false;
        }
        if (packet->dts != AV_NOPTS_VALUE && !keepPace(*packet, error)) {
            return false;
        }
        if (!copyPacket(packet.get(), error)) {
            return false;
        }
        av_packet_unref(packet.get());
    }
    if (programmeAudio >= 0 &&
        (!decodeProgramme(nullptr, error) || !queueProgramme(nullptr, error))) {
        return false;
    }

    if (report) {
        report->hasProgrammeAudio = programmeAudio >= 0;
        report->extendedByMs =
            std::max<qint64>(0, narrationLength - std::max(programmeEnd, timelineEnd)) * 1000 /
            mixRate;
    }
    if (!mixUntil(std::max(programmeEnd, narrationLength), error)) {
        return false;
    }
    if (pass.measureOnly) {
        return true;
    }
    if (!sendToEncoder(nullptr, error) || !finishVideo(error)) {
        return false;
    }
    int rc = av_write_trailer(output.get());
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    if (output->pb) {
        rc = avio_closep(&output->pb);
        if (rc < 0) {
            return fail(error, writeFailure(rc));
        }
    }
    return true;
}

bool ProgrammeMix::run(const QString& writePath, QString* error) {
    if (!openProgramme(error)) {
        return false;
    }
    const bool done = runInto(writePath, error);
    output.reset(); // closes the file before it is renamed or removed
    // The demuxer's index of the programme grows with its length: gone before the next pass
    // opens the programme again.
    input.reset();
    return done;
}

std::optional<LoudnessReading> ProgrammeMix::reading(QString* error) {
    return pass.measureOnly ? mixMeter.reading(error) : packetMeter.reading(error);
}

// The kind of output the request asks for, once the request is one the mix can serve.
std::optional<MixedOutputKind> checkedOutputKind(const ProgrammeMixSettings& settings,
                                                 const NarrationSource& narration,
                                                 const QString& outputPath, QString* error) {
    const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(outputPath);
    if (!kind) {
        fail(error, QObject::tr("cannot write %1: the mix writes .wav, .mp3, .m4a, .mp4, "
                                ".mov or .mkv files")
                        .arg(outputPath));
        return std::nullopt;
    }
    if (narration.sampleRate <= 0 || narration.totalSamples < 0) {
        fail(error, QObject::tr("the narration has no sample rate"));
        return std::nullopt;
    }
    // (Two missing files compare equal, so only an existing programme is compared.)
    const QFileInfo programmeFile(settings.programmePath);
    if (programmeFile.exists() && QFileInfo(outputPath) == programmeFile) {
        fail(error, QObject::tr("cannot write %1: it is the programme itself").arg(outputPath));
        return std::nullopt;
    }
    return kind;
}

// Written beside the output under a hidden name and renamed over it once complete; the
// muxer creates the file, so it gets the usual permissions.
class PartialOutput {
public:
    explicit PartialOutput(const QString& outputPath) : outputPath(outputPath) {
        const QFileInfo target(outputPath);
        path = target.absolutePath() + QStringLiteral("/.") + target.fileName() +
               QStringLiteral(".%1-%2.part")
                   .arg(QCoreApplication::applicationPid())
                   .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    }
    ~PartialOutput() {
        if (!committed) {
            std::remove(QFile::encodeName(path).constData());
        }
    }
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;

    bool commit(QString* error) {
        if (std::rename(QFile::encodeName(path).constData(),
                        QFile::encodeName(outputPath).constData()) != 0) {
            return fail(error, QObject::tr("cannot write %1: %2")
                                   .arg(outputPath, QString::fromLocal8Bit(std::strerror(errno))));
        }
        committed = true;
        return true;
    }

    QString path;

private:
    const QString outputPath;
    bool committed = false;
};

bool rewindNarration(const NarrationSource& narration, QString* error) {
    if (!narration.rewind) {
        return fail(error, QObject::tr("the narration cannot be read a second time"));
    }
    return narration.rewind(error);
}

// Measures the mix, then writes it at the one gain that meets the target; a lossy output is
// measured as it is written and, when the codec moved its level, written once more.
bool mixAtLoudness(const ProgrammeMixSettings& settings, const NarrationSource& narration,
                   const QString& outputPath, MixedOutputKind kind, ProgrammeMixReport* report,
                   QString* error) {
    const double target = *settings.loudnessLufs;
    const double ceiling = settings.truePeakDbtp;
    MixPass measure;
    measure.measureOnly = true;
    ProgrammeMixReport measureReport;
    ProgrammeMix measuring(settings, narration, outputPath, kind, measure, &measureReport);
    if (!measuring.run(QString(), error)) {
        return false;
    }
    const std::optional<LoudnessReading> measured = measuring.reading(error);
    if (!measured) {
        return false;
    }
    LoudnessGain gain = loudnessGain(*measured, target, ceiling);

    PartialOutput partial(outputPath);
    MixPass write;
    write.gain = gain.factor;
    write.meterPackets = kind != MixedOutputKind::Wav && gain.outcome != LoudnessOutcome::Silent;
    *report = ProgrammeMixReport();
    if (!rewindNarration(narration, error)) {
        return false;
    }
    std::optional<ProgrammeMix> writing;
    writing.emplace(settings, narration, outputPath, kind, write, report);
    if (!writing->run(partial.path, error)) {
        return false;
    }
    if (write.meterPackets) {
        std::optional<LoudnessReading> written = writing->reading(error);
        if (!written) {
            return false;
        }
        const std::optional<LoudnessGain> corrected =
            loudnessCorrection(*written, gain, target, ceiling);
        if (corrected) {
            write.gain = corrected->factor;
            *report = ProgrammeMixReport();
            if (!rewindNarration(narration, error)) {
                return false;
            }
            writing.emplace(settings, narration, outputPath, kind, write, report);
            if (!writing->run(partial.path, error)) {
                return false;
            }
            written = writing->reading(error);
            if (!written) {
                return false;
            }
            gain = *corrected;
        }
        gain.result = *written;
    }
    if (!partial.commit(error)) {
        return false;
    }
    report->loudness = gain;
    return true;
}

} // namespace

std::optional<ProgrammeInfo> probeProgramme(const QString& path, QString* error) {
    const InputFile input = openInput(path, error);
    if (!input) {
        return std::nullopt;
    }
    ProgrammeInfo info;
    info.durationMs = fileDurationMs(input.get());
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        info.audioStreamCount += stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
        info.videoStreamCount += isVideo(stream) ? 1 : 0;
    }
    return info;
}

std::optional<MixedOutputKind> mixedOutputKindForPath(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("wav")) {
        return MixedOutputKind::Wav;
    }
    if (suffix == QLatin1String("mp3")) {
        return MixedOutputKind::Mp3;
    }
    if (suffix == QLatin1String("m4a")) {
        return MixedOutputKind::M4a;
    }
    if (isVideoOutputPath(path)) {
        return MixedOutputKind::Video;
    }
    return std::nullopt;
}

bool isVideoOutputPath(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("mp4") || suffix == QLatin1String("mov") ||
           suffix == QLatin1String("mkv");
}

bool mixNarrationOverProgramme(const ProgrammeMixSettings& settings,
                               const NarrationSource& narration, const QString& outputPath,
                               ProgrammeMixReport* report, QString* error) {
    ProgrammeMixReport local;
    if (!report) {
        report = &local;
    }
    const std::optional<MixedOutputKind> kind =
        checkedOutputKind(settings, narration, outputPath, error);
    if (!kind) {
        return false;
    }
    if (settings.loudnessLufs) {
        return mixAtLoudness(settings, narration, outputPath, *kind, report, error);
    }
    PartialOutput partial(outputPath);
    ProgrammeMix mix(settings, narration, outputPath, *kind, MixPass(), report);
    return mix.run(partial.path, error) && partial.commit(error);
}

} // namespace lyrane
