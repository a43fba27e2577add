#include "audio/mixed_output.h"
#include "audio/audio_error.h"

#include "audio/programme_input.h"
#include "audio/programme_mix.h"

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

} // namespace

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

MixedOutput::MixedOutput(const ProgrammeMixSettings& settings, const QString& outputPath,
                         MixedOutputKind kind)
    : settings(settings), outputPath(outputPath), kind(kind) {}

bool MixedOutput::addCopiedStream(int inputIndex, QString* error) {
    const int index = lyrane::addCopiedStream(output.get(), programme->file()->streams[inputIndex]);
    if (index < 0) {
        return fail(error, writeFailure(index));
    }
    streamMap[size_t(inputIndex)] = index;
    return true;
}

bool MixedOutput::addMixedStream(int& mixRate, QString* error) {
    const AVCodec* codec = encoderFor(kind);
    if (!codec) {
        return fail(
            error,
            QObject::tr("cannot write %1: this FFmpeg has no encoder for it").arg(outputPath));
    }
    const int mixChannels = programme->mixChannels();
    mixRate = encoderRate(codec, programme->mixRate());
    const AVSampleFormat format = encoderFormat(codec);
    if (mixRate <= 0 || format == AV_SAMPLE_FMT_NONE) {
        return fail(error, QObject::tr("cannot write %1: the %2 encoder takes no usable format")
                               .arg(outputPath, QString::fromUtf8(codec->name)));
    }
    mixEncoder.reset(avcodec_alloc_context3(codec));
    if (!mixEncoder) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    av_channel_layout_default(&mixEncoder->ch_layout, mixChannels);
    mixEncoder->sample_rate = mixRate;
    mixEncoder->sample_fmt = format;
    mixEncoder->time_base = AVRational{1, mixRate};
    if (kind != MixedOutputKind::Wav) {
        mixEncoder->bit_rate = mixChannels == 1 ? 128000 : 192000;
    }
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        mixEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(mixEncoder.get(), codec, nullptr);
    if (rc < 0) {
        return fail(error, QObject::tr("cannot write %1: the %2 encoder refused %3 Hz: %4")
                               .arg(outputPath, QString::fromUtf8(codec->name))
                               .arg(mixRate)
                               .arg(errorText(rc)));
    }
    if (mixEncoder->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
        samplesPerFrame = mixEncoder->frame_size;
    }
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out) {
        return fail(error, writeFailure(AVERROR(ENOMEM)));
    }
    rc = avcodec_parameters_from_context(out->codecpar, mixEncoder.get());
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    out->time_base = mixEncoder->time_base;
    // A described track beside the programme's own sound is offered, not played by default.
    const bool describedBeside = settings.described && keptStream >= 0;
    out->disposition = describedBeside ? 0 : AV_DISPOSITION_DEFAULT;
    if (settings.described) {
        // MP4 writes these as the track's kind, Matroska as FlagVisualImpaired.
        out->disposition |= AV_DISPOSITION_DESCRIPTIONS | AV_DISPOSITION_VISUAL_IMPAIRED;
    }
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

bool MixedOutput::create(const ProgrammeInput& input, int* mixRate, QStringList* skipped,
                         QString* error) {
    programme = &input;
    const QByteArray name = QFile::encodeName(outputPath);
    const AVOutputFormat* format = av_guess_format(nullptr, name.constData(), nullptr);
    AVFormatContext* raw = nullptr;
    const int rc = avformat_alloc_output_context2(&raw, format, nullptr, name.constData());
    if (rc < 0 || !raw) {
        return fail(error, QObject::tr("cannot write %1: %2").arg(outputPath, errorText(rc)));
    }
    output.reset(raw);
    streamMap.assign(programme->file()->nb_streams, -1);
    const QString container = QFileInfo(outputPath).suffix().toUpper();

    // Video first, then the mix, then the untouched programme sound, then the rest.
    if (kind == MixedOutputKind::Video) {
        for (unsigned i = 0; i < programme->file()->nb_streams; ++i) {
            const AVStream* stream = programme->file()->streams[i];
            if (!isVideoStream(stream)) {
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
    // A described mix follows the programme's own sound; a plain mix goes before it.
    if (!settings.described && !addMixedStream(*mixRate, error)) {
        return false;
    }
    if (kind == MixedOutputKind::Video && settings.keepOriginalAudio &&
        programme->audioIndex() >= 0) {
        const AVStream* stream = programme->file()->streams[programme->audioIndex()];
        if (avformat_query_codec(output->oformat, stream->codecpar->codec_id,
                                 FF_COMPLIANCE_NORMAL) != 1) {
            return fail(error, QObject::tr("%1: the %2 container cannot hold the original audio "
                                           "of %3 (%4)")
                                   .arg(outputPath, container, settings.programmePath,
                                        codecName(stream->codecpar)));
        }
        if (!addCopiedStream(programme->audioIndex(), error)) {
            return false;
        }
        keptStream = streamMap[size_t(programme->audioIndex())];
        if (settings.described) {
            output->streams[keptStream]->disposition |= AV_DISPOSITION_DEFAULT;
        } else {
            output->streams[keptStream]->disposition &= ~AV_DISPOSITION_DEFAULT;
        }
        streamMap[size_t(programme->audioIndex())] =
            -1; // its packets go to the decoder and then here
    }
    if (settings.described && !addMixedStream(*mixRate, error)) {
        return false;
    }
    if (kind == MixedOutputKind::Video) {
        for (unsigned i = 0; i < programme->file()->nb_streams; ++i) {
            const AVStream* stream = programme->file()->streams[i];
            const AVMediaType type = stream->codecpar->codec_type;
            if (isVideoStream(stream) || type == AVMEDIA_TYPE_AUDIO) {
                continue; // audio other than the mixed programme is replaced by the mix
            }
            if (stream->codecpar->codec_id == AV_CODEC_ID_NONE ||
                avformat_query_codec(output->oformat, stream->codecpar->codec_id,
                                     FF_COMPLIANCE_NORMAL) != 1) {
                skipped->append(QObject::tr("%1 stream %2 (%3)")
                                    .arg(streamKind(stream))
                                    .arg(i)
                                    .arg(codecName(stream->codecpar)));
                continue;
            }
            if (!addCopiedStream(int(i), error)) {
                return false;
            }
        }
    }
    heldVideo.resize(output->nb_streams);
    videoEnd.assign(output->nb_streams, AV_NOPTS_VALUE);
    return true;
}

bool MixedOutput::start(const QString& writePath, QString* error) {
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
                                     .arg(outputPath, QFileInfo(outputPath).suffix().toUpper())
                               : writeFailure(written));
    }
    return true;
}

bool MixedOutput::write(AVPacket* packet, QString* error) {
    const int rc = av_interleaved_write_frame(output.get(), packet);
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    return true;
}

bool MixedOutput::copy(AVPacket* packet, QString* error) {
    // A stream that appeared after the header has no place here.
    const int target = packet->stream_index == programme->audioIndex() ? keptStream
                       : size_t(packet->stream_index) < streamMap.size()
                           ? streamMap[size_t(packet->stream_index)]
                           : -1;
    if (target < 0) {
        return true;
    }
    const AVStream* in = programme->file()->streams[packet->stream_index];
    AVStream* out = output->streams[target];
    // Times start at the file's start, as the mix does.
    if (packet->pts != AV_NOPTS_VALUE) {
        packet->pts = programme->fromFileStart(in, packet->pts);
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        packet->dts = programme->fromFileStart(in, packet->dts);
    }
    av_packet_rescale_ts(packet, in->time_base, out->time_base);
    packet->stream_index = target;
    packet->pos = -1;
    if (!isVideoStream(in)) {
        return write(packet, error);
    }
    if (packet->pts != AV_NOPTS_VALUE) {
        const qint64 end = packet->pts + packet->duration;
        videoEnd[size_t(target)] = videoEnd[size_t(target)] == AV_NOPTS_VALUE
                                       ? end
                                       : std::max(videoEnd[size_t(target)], end);
    }
    // The last packet of each video stream waits, so the stream can be stretched to the end.
    Packet& held = heldVideo[size_t(target)];
    if (held && !write(held.get(), error)) {
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

bool MixedOutput::encode(const AVFrame* frame, EncodedPacketMeter* meter, QString* error) {
    int rc = avcodec_send_frame(mixEncoder.get(), frame);
    if (rc < 0) {
        return fail(error, writeFailure(rc));
    }
    AVPacket* packet = encoded.get();
    while (true) {
        rc = avcodec_receive_packet(mixEncoder.get(), packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return true;
        }
        if (rc < 0) {
            return fail(error, writeFailure(rc));
        }
        if (meter && !meter->add(packet->data, packet->size)) {
            return fail(error, meter->error());
        }
        av_packet_rescale_ts(packet, mixEncoder->time_base,
                             output->streams[mixedStream]->time_base);
        packet->stream_index = mixedStream;
        if (!write(packet, error)) {
            return false;
        }
    }
}

bool MixedOutput::finish(qint64 mixedSamples, bool stretch, QString* error) {
    for (size_t s = 0; s < heldVideo.size(); ++s) {
        Packet& held = heldVideo[s];
        if (!held) {
            continue;
        }
        if (stretch && videoEnd[s] != AV_NOPTS_VALUE) {
            const qint64 end =
                av_rescale_q(mixedSamples, mixEncoder->time_base, output->streams[s]->time_base);
            if (end > videoEnd[s]) {
                held->duration += end - videoEnd[s];
            }
        }
        if (!write(held.get(), error)) {
            return false;
        }
        held.reset();
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

QString MixedOutput::writeFailure(int code) const {
    return QObject::tr("cannot write %1: %2").arg(outputPath, errorText(code));
}

} // namespace lyrane
