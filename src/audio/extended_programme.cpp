#include "audio/extended_programme.h"
#include "audio/audio_error.h"

#include "audio/mix_samples.h"
#include "audio/mixed_output.h"
#include "audio/programme_input.h"

#include <QFile>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <vector>

namespace lyrane {

using namespace ffmpeg;

namespace {

using audio_detail::fail;

constexpr AVRational kMilliseconds{1, 1000};

// The time of a packet or frame from the file's start, in milliseconds.
double msFromStart(const AVFormatContext* file, const AVStream* stream, qint64 time) {
    if (file->start_time != AV_NOPTS_VALUE) {
        time -= av_rescale_q(file->start_time, AVRational{1, AV_TIME_BASE}, stream->time_base);
    }
    return double(time) * av_q2d(stream->time_base) * 1000.0;
}

int firstVideoStream(const AVFormatContext* file) {
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        if (isVideoStream(file->streams[i])) {
            return int(i);
        }
    }
    return -1;
}

} // namespace

bool HoldPoints::open(const QString& programmePath, QString* error) {
    path = programmePath;
    input = openProgrammeFile(path, error);
    if (!input) {
        return false;
    }
    video = firstVideoStream(input.get());
    if (video < 0) {
        return fail(error, QObject::tr("%1 has no video stream to hold").arg(path));
    }
    return true;
}

QString HoldPoints::videoCodec() const {
    return codecName(input->streams[video]->codecpar);
}

qint64 HoldPoints::atOrBefore(qint64 timeMs) {
    const AVStream* stream = input->streams[video];
    // From a keyframe well before the point to a little after it: the frames' times in the
    // order they are decoded.
    qint64 seekTo =
        av_rescale_q(std::max<qint64>(0, timeMs - 10000), kMilliseconds, stream->time_base);
    if (input->start_time != AV_NOPTS_VALUE) {
        seekTo += av_rescale_q(input->start_time, AVRational{1, AV_TIME_BASE}, stream->time_base);
    }
    const bool fromStart =
        avformat_seek_file(input.get(), video, std::numeric_limits<int64_t>::min(), seekTo, seekTo,
                           0) < 0 &&
        avformat_seek_file(input.get(), -1, std::numeric_limits<int64_t>::min(), 0, 0, 0) >= 0;
    std::vector<double> times;
    bool firstIsStart = fromStart || timeMs < 10000;
    Packet packet(av_packet_alloc());
    while (packet && av_read_frame(input.get(), packet.get()) >= 0) {
        const bool ours = packet->stream_index == video;
        const qint64 time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const qint64 order = packet->dts != AV_NOPTS_VALUE ? packet->dts : time;
        const bool key = packet->flags & AV_PKT_FLAG_KEY;
        av_packet_unref(packet.get());
        if (!ours || time == AV_NOPTS_VALUE) {
            continue;
        }
        if (times.empty() && !key) {
            firstIsStart = false;
        }
        times.push_back(msFromStart(input.get(), stream, time));
        if (msFromStart(input.get(), stream, order) > double(timeMs) + 2000.0) {
            break;
        }
    }
    // A frame's start is a hold point when every frame decoded before it shows earlier.
    std::vector<double> laterMin(times.size() + 1, std::numeric_limits<double>::infinity());
    for (size_t i = times.size(); i-- > 0;) {
        laterMin[i] = std::min(laterMin[i + 1], times[i]);
    }
    double best = -1.0;
    double earlierMax = -std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < times.size(); ++i) {
        const bool safe = i == 0 ? firstIsStart : earlierMax < laterMin[i];
        if (safe && laterMin[i] <= double(timeMs) + 0.5) {
            best = std::max(best, laterMin[i]);
        }
        earlierMax = std::max(earlierMax, times[i]);
    }
    return best < 0 ? timeMs : std::llround(best);
}

namespace {

// One pass over the programme writing the extended copy; see writeExtendedProgramme.
class ExtendedWriter {
public:
    ExtendedWriter(const QList<ProgrammePause>& pauses, const QString& outputPath, bool soundKept,
                   const StopCheck& stopped)
        : pauses(pauses), outputPath(outputPath), soundKept(soundKept), stopped(stopped) {
        std::sort(this->pauses.begin(), this->pauses.end(),
                  [](const ProgrammePause& a, const ProgrammePause& b) { return a.atMs < b.atMs; });
    }

    bool run(const QString& programmePath, int audioStream, ExtendedProgrammeReport* report,
             QString* error);

private:
    bool openOutput(ExtendedProgrammeReport* report, QString* error);
    bool openSound(const AVCodec* codec, QString* error);
    bool writeVideo(AVPacket* packet, QString* error);
    bool takeSound(QString* error);
    bool encodeSamples(const double* interleaved, qint64 count, QString* error);
    bool encodePending(QString* error);
    bool encode(const AVFrame* frame, QString* error);
    bool write(AVPacket* packet, QString* error);
    QString failure(int code) const {
        return QObject::tr("cannot write the extended programme %1: %2")
            .arg(outputPath, errorText(code));
    }

    QList<ProgrammePause> pauses;
    QString programmePath;
    const QString outputPath;
    const bool soundKept;
    const StopCheck& stopped;

    ProgrammeInput programme;
    OutputFile output;
    int video = -1;
    int videoOut = -1;
    int soundOut = -1;
    Codec encoder;
    int channels = 1;
    int frameSize = 1024;
    std::vector<qint64> pauseSamples; // each pause's point at the sound's rate
    size_t nextPause = 0;
    qint64 consumed = 0;         // programme samples taken from the queues
    qint64 encodedSamples = 0;   // samples sent to the encoder, pauses included
    std::vector<double> pending; // interleaved, up to one encoder frame
    qint64 pendingCount = 0;
    std::vector<double> scratch;
    Frame frame = Frame(av_frame_alloc());
    Packet encoded = Packet(av_packet_alloc());
};

bool ExtendedWriter::run(const QString& programmePath, int audioStream,
                         ExtendedProgrammeReport* report, QString* error) {
    if (!frame || !encoded) {
        return fail(error, failure(AVERROR(ENOMEM)));
    }
    this->programmePath = programmePath;
    if (!programme.open(programmePath, audioStream, 48000, error) || !openOutput(report, error)) {
        return false;
    }
    Packet packet(av_packet_alloc());
    if (!packet) {
        return fail(error, failure(AVERROR(ENOMEM)));
    }
    while (true) {
        if (stopRequested(stopped)) {
            return fail(error, QObject::tr("stopped before the output was complete"));
        }
        const int rc = programme.read(packet.get());
        if (rc == AVERROR_EOF) {
            break;
        }
        if (rc < 0) {
            return fail(error, QObject::tr("cannot read %1: %2").arg(programmePath, errorText(rc)));
        }
        bool done = true;
        if (packet->stream_index == video) {
            done = writeVideo(packet.get(), error);
        } else if (packet->stream_index == programme.audioIndex()) {
            done = programme.decode(packet.get(), consumed, error) && takeSound(error);
        }
        av_packet_unref(packet.get());
        if (!done) {
            return false;
        }
    }
    if (programme.audioIndex() >= 0 &&
        !(programme.decode(nullptr, consumed, error) &&
          programme.flushConversion(consumed, error) && takeSound(error) && encodePending(error) &&
          encode(nullptr, error))) {
        return false;
    }
    for (const ProgrammePause& pause : std::as_const(pauses)) {
        report->pausedMs += pause.lengthMs;
    }
    const int rc = av_write_trailer(output.get());
    if (rc < 0) {
        return fail(error, failure(rc));
    }
    output.reset();
    return true;
}

bool ExtendedWriter::openOutput(ExtendedProgrammeReport* report, QString* error) {
    const QByteArray name = QFile::encodeName(outputPath);
    const AVFormatContext* file = programme.file();
    video = firstVideoStream(file);
    // QuickTime keeps an encoder's priming in an edit list, so picture and sound start where
    // they did; Matroska would move both later by it. Matroska for pictures QuickTime cannot hold.
    const AVOutputFormat* quickTime = av_guess_format("mov", nullptr, nullptr);
    const bool inQuickTime =
        quickTime &&
        (video < 0 || avformat_query_codec(quickTime, file->streams[video]->codecpar->codec_id,
                                           FF_COMPLIANCE_NORMAL) == 1);
    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, inQuickTime ? "mov" : "matroska",
                                            name.constData());
    if (rc < 0 || !raw) {
        return fail(error, failure(rc < 0 ? rc : AVERROR(ENOMEM)));
    }
    output.reset(raw);
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        const AVStream* in = file->streams[i];
        if (int(i) == video) {
            videoOut = addCopiedStream(output.get(), in);
            if (videoOut < 0) {
                return fail(error, failure(videoOut));
            }
            report->videoCodec = codecName(in->codecpar);
        } else if (int(i) != programme.audioIndex()) {
            report->leftOut.append(QObject::tr("%1 stream %2 (%3)")
                                       .arg(streamKind(in))
                                       .arg(i)
                                       .arg(codecName(in->codecpar)));
        }
    }
    if (programme.audioIndex() >= 0) {
        const AVCodecParameters* sound =
            programme.file()->streams[programme.audioIndex()]->codecpar;
        // A sound only mixed from is kept losslessly (and quickly); one kept beside the mix
        // stays in its codec.
        const AVCodec* own = avcodec_find_encoder(soundKept ? sound->codec_id : AV_CODEC_ID_ALAC);
        const bool usable =
            own && !(own->capabilities & AV_CODEC_CAP_EXPERIMENTAL) &&
            encoderFormat(own) != AV_SAMPLE_FMT_NONE &&
            avformat_query_codec(output->oformat, own->id, FF_COMPLIANCE_NORMAL) == 1;
        QString ownError;
        if (!usable || !openSound(own, &ownError)) {
            if (!openSound(avcodec_find_encoder_by_name("aac"), error)) {
                return false;
            }
        }
        if (soundKept) {
            report->audioCodec = QString::fromUtf8(encoder->codec->name);
        }
    }
    rc = avio_open(&output->pb, name.constData(), AVIO_FLAG_WRITE);
    if (rc >= 0) {
        rc = avformat_write_header(output.get(), nullptr);
    }
    return rc >= 0 || fail(error, failure(rc));
}

bool ExtendedWriter::openSound(const AVCodec* codec, QString* error) {
    if (!codec) {
        return fail(error, QObject::tr("cannot write the extended programme %1: this FFmpeg has "
                                       "no AAC encoder")
                               .arg(outputPath));
    }
    const AVCodecParameters* sound = programme.file()->streams[programme.audioIndex()]->codecpar;
    channels = programme.mixChannels();
    const int rate = encoderRate(codec, programme.mixRate());
    encoder.reset(avcodec_alloc_context3(codec));
    if (!encoder || rate <= 0) {
        return fail(error, failure(AVERROR(ENOMEM)));
    }
    av_channel_layout_default(&encoder->ch_layout, channels);
    encoder->sample_rate = rate;
    encoder->sample_fmt = encoderFormat(codec);
    encoder->time_base = AVRational{1, rate};
    encoder->bit_rate = sound->bit_rate > 0 ? sound->bit_rate : (channels == 1 ? 128000 : 192000);
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(encoder.get(), codec, nullptr);
    if (rc < 0) {
        return fail(error, QObject::tr("cannot write the extended programme %1: the %2 encoder "
                                       "refused the sound: %3")
                               .arg(outputPath, QString::fromUtf8(codec->name), errorText(rc)));
    }
    programme.setMixRate(rate);
    frameSize = encoder->frame_size > 0 && !(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)
                    ? encoder->frame_size
                    : 1024;
    pending.assign(size_t(frameSize) * size_t(channels), 0.0);
    for (const ProgrammePause& pause : std::as_const(pauses)) {
        pauseSamples.push_back(pause.atMs * rate / 1000);
    }
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (!out) {
        return fail(error, failure(AVERROR(ENOMEM)));
    }
    rc = avcodec_parameters_from_context(out->codecpar, encoder.get());
    if (rc < 0) {
        return fail(error, failure(rc));
    }
    out->time_base = encoder->time_base;
    out->disposition = AV_DISPOSITION_DEFAULT;
    av_dict_copy(&out->metadata, programme.file()->streams[programme.audioIndex()]->metadata, 0);
    soundOut = out->index;
    return true;
}

// Every frame from a pause on shows that much later; the frame before it stays up meanwhile.
bool ExtendedWriter::writeVideo(AVPacket* packet, QString* error) {
    const AVStream* in = programme.file()->streams[video];
    const qint64 time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    qint64 shiftMs = 0;
    if (time != AV_NOPTS_VALUE) {
        const double at = msFromStart(programme.file(), in, time);
        for (const ProgrammePause& pause : std::as_const(pauses)) {
            if (double(pause.atMs) - 0.5 <= at) {
                shiftMs += pause.lengthMs;
            }
        }
    }
    const qint64 shift = av_rescale_q(shiftMs, kMilliseconds, in->time_base);
    if (packet->pts != AV_NOPTS_VALUE) {
        packet->pts = programme.fromFileStart(in, packet->pts) + shift;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        packet->dts = programme.fromFileStart(in, packet->dts) + shift;
    }
    av_packet_rescale_ts(packet, in->time_base, output->streams[videoOut]->time_base);
    packet->stream_index = videoOut;
    packet->pos = -1;
    const int rc = av_interleaved_write_frame(output.get(), packet);
    if (rc < 0) {
        // Most likely frames reordered across a pause: the stream is named, not the temporary.
        return fail(error,
                    QObject::tr("cannot move video stream %1 of %2 (%3) later for a pause: %4")
                        .arg(video)
                        .arg(programmePath, codecName(in->codecpar), errorText(rc)));
    }
    return true;
}

// Moves the decoded sound to the encoder, silence laid in where each pause falls.
bool ExtendedWriter::takeSound(QString* error) {
    std::vector<SampleQueue>& queues = programme.queues();
    while (true) {
        while (nextPause < pauseSamples.size() && pauseSamples[nextPause] <= consumed) {
            const qint64 silence =
                pauses[qsizetype(nextPause)].lengthMs * encoder->sample_rate / 1000;
            if (!encodeSamples(nullptr, silence, error)) {
                return false;
            }
            ++nextPause;
        }
        qint64 count = programme.queued();
        if (nextPause < pauseSamples.size()) {
            count = std::min(count, pauseSamples[nextPause] - consumed);
        }
        if (count <= 0) {
            return true;
        }
        scratch.resize(size_t(count) * size_t(channels));
        for (int c = 0; c < channels; ++c) {
            const double* from = queues[size_t(c)].data();
            for (qint64 i = 0; i < count; ++i) {
                scratch[size_t(i * channels + c)] = from[i];
            }
            queues[size_t(c)].drop(count);
        }
        consumed += count;
        if (!encodeSamples(scratch.data(), count, error)) {
            return false;
        }
    }
}

bool ExtendedWriter::encodeSamples(const double* interleaved, qint64 count, QString* error) {
    while (count > 0) {
        const qint64 take = std::min<qint64>(count, frameSize - pendingCount);
        double* to = pending.data() + pendingCount * channels;
        if (interleaved) {
            std::copy(interleaved, interleaved + take * channels, to);
            interleaved += take * channels;
        } else {
            std::fill(to, to + take * channels, 0.0);
        }
        pendingCount += take;
        count -= take;
        if (pendingCount == frameSize && !encodePending(error)) {
            return false;
        }
    }
    return true;
}

bool ExtendedWriter::encodePending(QString* error) {
    if (pendingCount == 0) {
        return true;
    }
    // An encoder that takes no short last frame gets it filled out with silence.
    if (pendingCount < frameSize && encoder->frame_size > 0 &&
        !(encoder->codec->capabilities &
          (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) {
        std::fill(pending.begin() + pendingCount * channels, pending.end(), 0.0);
        pendingCount = frameSize;
    }
    av_frame_unref(frame.get());
    frame->nb_samples = int(pendingCount);
    frame->format = encoder->sample_fmt;
    frame->sample_rate = encoder->sample_rate;
    int rc = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    if (rc >= 0) {
        rc = av_frame_get_buffer(frame.get(), 0);
    }
    if (rc < 0) {
        return fail(error, failure(rc));
    }
    storeMixedSamples(pending.data(), pendingCount, channels, encoder->sample_fmt,
                      frame->extended_data);
    frame->pts = encodedSamples;
    encodedSamples += pendingCount;
    pendingCount = 0;
    return encode(frame.get(), error);
}

bool ExtendedWriter::encode(const AVFrame* samples, QString* error) {
    int rc = avcodec_send_frame(encoder.get(), samples);
    if (rc < 0) {
        return fail(error, failure(rc));
    }
    while ((rc = avcodec_receive_packet(encoder.get(), encoded.get())) >= 0) {
        av_packet_rescale_ts(encoded.get(), encoder->time_base,
                             output->streams[soundOut]->time_base);
        encoded->stream_index = soundOut;
        if (!write(encoded.get(), error)) {
            return false;
        }
    }
    return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF || fail(error, failure(rc));
}

bool ExtendedWriter::write(AVPacket* packet, QString* error) {
    const int rc = av_interleaved_write_frame(output.get(), packet);
    return rc >= 0 || fail(error, failure(rc));
}

} // namespace

bool writeExtendedProgramme(const QString& programmePath, int audioStream,
                            const QList<ProgrammePause>& pauses, const QString& outputPath,
                            bool soundKept, ExtendedProgrammeReport* report,
                            const StopCheck& stopped, QString* error) {
    ExtendedWriter writer(pauses, outputPath, soundKept, stopped);
    return writer.run(programmePath, audioStream, report, error);
}

} // namespace lyrane
