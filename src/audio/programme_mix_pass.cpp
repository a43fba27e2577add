#include "audio/programme_mix_pass.h"
#include "audio/audio_error.h"

#include "audio/mix_samples.h"

#include <QObject>

#include <algorithm>
#include <array>
#include <cerrno>

namespace lyrane {

using namespace ffmpeg;

namespace {

using audio_detail::fail;

QString stoppedMessage() {
    return QObject::tr("stopped before the output was complete");
}

} // namespace

ProgrammeMixPass::ProgrammeMixPass(const ProgrammeMixSettings& settings,
                                   const NarrationSource& narration, const QString& outputPath,
                                   MixedOutputKind kind, MixPass pass, ProgrammeMixReport* report)
    : settings(settings), narration(narration), report(report), kind(kind), pass(pass),
      output(settings, outputPath, kind) {}

bool ProgrammeMixPass::run(const QString& writePath, QString* error) {
    if (!programme.open(settings.programmePath, settings.audioStream, narration.sampleRate,
                        error)) {
        return false;
    }
    const bool done = runInto(writePath, error);
    output.close(); // closes the file before it is renamed or removed
    // The demuxer's index of the programme grows with its length: gone before the next pass
    // opens the programme again.
    programme.close();
    return done;
}

std::optional<LoudnessReading> ProgrammeMixPass::reading(QString* error) {
    return pass.measureOnly ? mixMeter.reading(error) : packetMeter.reading(error);
}

// The output's streams, the meters, the narration at the mix rate and the ducking under it.
bool ProgrammeMixPass::openMix(const QString& writePath, QString* error) {
    if (!output.create(programme, &mixRate, &report->skippedStreams, error)) {
        return false;
    }
    programme.setMixRate(mixRate);
    if (pass.measureOnly) {
        if (!mixMeter.open(mixRate, programme.mixChannels(), error)) {
            return false;
        }
    } else if ((pass.meterPackets && !packetMeter.open(output.encoder(), error)) ||
               !output.start(writePath, error)) {
        return false;
    }
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
    timelineEnd = av_rescale_q(fileDurationMs(programme.file()), AVRational{1, 1000}, mixBase);
    return true;
}

// Every packet of the programme: its sound decoded and mixed as it comes, the rest copied.
bool ProgrammeMixPass::readProgramme(QString* error) {
    Packet packet(av_packet_alloc());
    if (!packet) {
        return fail(error, output.writeFailure(AVERROR(ENOMEM)));
    }
    while (true) {
        if (stopRequested(narration.stopped)) {
            return fail(error, stoppedMessage());
        }
        const int rc = programme.read(packet.get());
        if (rc == AVERROR_EOF) {
            break;
        }
        if (rc < 0) {
            return fail(
                error,
                QObject::tr("cannot read %1: %2").arg(settings.programmePath, errorText(rc)));
        }
        if (packet->stream_index == programme.audioIndex() && !decode(packet.get(), error)) {
            return false;
        }
        if (packet->dts != AV_NOPTS_VALUE && !keepPace(*packet, error)) {
            return false;
        }
        if (!pass.measureOnly && !output.copy(packet.get(), error)) {
            return false;
        }
        av_packet_unref(packet.get());
    }
    return programme.audioIndex() < 0 ||
           (decode(nullptr, error) && programme.flushConversion(mixed, error));
}

// A video output shows the programme's pictures: a video stream that gave none fails the run
// instead of leaving a track without pictures.
bool ProgrammeMixPass::checkPicture(QString* error) {
    if (kind != MixedOutputKind::Video) {
        return true;
    }
    const AVFormatContext* file = programme.file();
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        const AVStream* stream = file->streams[i];
        if (!isVideoStream(stream)) {
            continue;
        }
        if (programme.packetsRead(int(i)) == 0) {
            return fail(error, QObject::tr("video stream %1 of %2 (%3) has no packets")
                                   .arg(i)
                                   .arg(settings.programmePath, codecName(stream->codecpar)));
        }
        report->hasProgrammeVideo = true;
    }
    return true;
}

bool ProgrammeMixPass::runInto(const QString& writePath, QString* error) {
    if (!openMix(writePath, error) || !readProgramme(error) || !checkPicture(error)) {
        return false;
    }
    report->hasProgrammeAudio = programme.audioIndex() >= 0;
    const qint64 programmeEnd = programme.soundEnd();
    report->extendedByMs =
        std::max<qint64>(0, narrationLength - std::max(programmeEnd, timelineEnd)) * 1000 / mixRate;
    if (!mixUntil(std::max(programmeEnd, narrationLength), error)) {
        return false;
    }
    if (pass.measureOnly) {
        return true;
    }
    return output.encode(nullptr, pass.meterPackets ? &packetMeter : nullptr, error) &&
           output.finish(mixed, report->extendedByMs > 0, error);
}

bool ProgrammeMixPass::decode(const AVPacket* packet, QString* error) {
    return programme.decode(packet, mixed, error) && mixAvailable(error);
}

// Mixes whole frames while the programme has decoded sound for them.
bool ProgrammeMixPass::mixAvailable(QString* error) {
    while (programme.queued() >= output.frameSamples()) {
        if (!encodeMixed(output.frameSamples(), error)) {
            return false;
        }
    }
    return true;
}

// Keeps the mix up with the other streams, so the muxer never holds much of them: without
// programme sound the narration follows the packets' times directly; with it, the mix runs
// ahead only where the programme's sound has fallen ten seconds behind the other streams,
// taking the programme as silent there.
bool ProgrammeMixPass::keepPace(const AVPacket& packet, QString* error) {
    const qint64 at =
        programme.toMixSamples(programme.file()->streams[packet.stream_index], packet.dts);
    const bool withSound = programme.audioIndex() >= 0;
    const qint64 lag = withSound ? qint64(mixRate) * 10 : 0;
    const qint64 until =
        std::min(at - lag, withSound ? std::max(narrationLength, timelineEnd) : narrationLength);
    return mixUntil(until - until % output.frameSamples(), error);
}

// Mixes up to `end` samples, the programme silent where it has nothing queued.
bool ProgrammeMixPass::mixUntil(qint64 end, QString* error) {
    while (mixed < end) {
        if (stopRequested(narration.stopped)) {
            return fail(error, stoppedMessage());
        }
        if (!encodeMixed(std::min<qint64>(output.frameSamples(), end - mixed), error)) {
            return false;
        }
    }
    return true;
}

bool ProgrammeMixPass::encodeMixed(qint64 count, QString* error) {
    narrationSlice.resize(size_t(count));
    gainSlice.resize(size_t(count));
    if (!narrationReader.take(narrationSlice.data(), count, error)) {
        return false;
    }
    envelope->fill(mixed, gainSlice.data(), count);
    const int channels = programme.mixChannels();
    std::vector<SampleQueue>& queues = programme.queues();
    std::array<const double*, 2> sound{};
    for (int c = 0; c < channels; ++c) {
        sound[size_t(c)] = queues[size_t(c)].data();
    }
    const qint64 available = std::min(count, programme.queued());
    mixedSlice.resize(size_t(count) * size_t(channels));
    mixSamples(sound.data(), channels, available, gainSlice.data(), narrationSlice.data(),
               pass.gain, count, mixedSlice.data());
    for (SampleQueue& queue : queues) {
        queue.drop(available);
    }
    if (pass.measureOnly) {
        mixed += count;
        return mixMeter.add(mixedSlice.data(), count, error);
    }

    AVFrame* frame = encodeFrame.get();
    const AVCodecContext* encoder = output.encoder();
    av_frame_unref(frame);
    frame->nb_samples = int(count);
    frame->format = encoder->sample_fmt;
    frame->sample_rate = mixRate;
    int rc = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    if (rc >= 0) {
        rc = av_frame_get_buffer(frame, 0);
    }
    if (rc < 0) {
        return fail(error, output.writeFailure(rc));
    }
    storeMixedSamples(mixedSlice.data(), count, channels, encoder->sample_fmt,
                      frame->extended_data);
    frame->pts = mixed;
    mixed += count;
    return output.encode(frame, pass.meterPackets ? &packetMeter : nullptr, error);
}

} // namespace lyrane
