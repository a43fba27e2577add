#include "runs/subtitle_run.h"

#include "audio/encoded_loudness.h"
#include "audio/prepared_clips.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "cli/console.h"
#include "runs/run_preparation.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

namespace lyrane {

namespace {

constexpr double kMaxSpeedUp = 1.5;

std::optional<QList<VttCue>> openSubtitleFile(const QString& path) {
    QString error;
    std::optional<QList<VttCue>> cues = VttParser().parse(path, &error);
    if (!cues) {
        printError(QObject::tr("failed to parse VTT file: %1\n").arg(error));
        return std::nullopt;
    }
    if (cues->isEmpty()) {
        printError(QObject::tr("VTT file contains no cues\n"));
        return std::nullopt;
    }
    return cues;
}

// HH:mm:ss.zzz of a time of day, as QTime::toString writes it, without its locale machinery:
// the listing of a long file formats hundreds of thousands of them.
QString formatTimeOfDay(const QTime& time) {
    const int values[] = {time.hour(), time.minute(), time.second(), time.msec()};
    QChar text[12];
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) {
            text[at + i] = QLatin1Char(char('0' + value % 10));
        }
    };
    put(0, values[0], 2);
    text[2] = QLatin1Char(':');
    put(3, values[1], 2);
    text[5] = QLatin1Char(':');
    put(6, values[2], 2);
    text[8] = QLatin1Char('.');
    put(9, values[3], 3);
    return QString(text, 12);
}

void printCueListing(const QList<VttCue>& cues, int limit) {
    const int listed = limit == 0 ? int(cues.size()) : std::min(limit, int(cues.size()));
    const QString cueLine = QObject::tr("Cue #%1:\n");
    const QString startLine = QObject::tr("  Start Time: %1\n");
    const QString endLine = QObject::tr("  End Time: %1\n");
    const QString durationLine = QObject::tr("  Duration: %1 ms\n");
    const QString textLine = QObject::tr("  Text: %1\n\n");

    QString listing;
    listing += QObject::tr("\n=== VTT CUES INFORMATION ===\n");
    listing += QObject::tr("Total cues: %1\n\n").arg(cues.size());
    for (int k = 0; k < listed; ++k) {
        const VttCue& cue = cues[k];
        listing += cueLine.arg(k + 1);
        listing += startLine.arg(formatTimeOfDay(cue.startTime()));
        listing += endLine.arg(formatTimeOfDay(cue.endTime()));
        listing += durationLine.arg(cue.endMs - cue.startMs);
        listing += textLine.arg(cue.text);
    }
    listing += QObject::tr("=== END OF VTT CUES INFORMATION ===\n");
    printOutput(listing);
}

// Key, cache and mirror are made once per invocation, when the first file needs them.
class RunSession {
public:
    explicit RunSession(const Config& config) : config(config) {}

    bool ensurePrepared() {
        if (!resources) {
            resources = prepareRunResources(config);
            if (resources) {
                client.emplace(&network);
                client->setTransferTimeoutMs(config.timeoutMs);
            }
        }
        return resources.has_value();
    }

    int narrate(const Config& runConfig, const QList<VttCue>& cues) {
        const std::optional<QList<AudioSegment>> segments =
            generateSegments(cues, runConfig, *resources, *client);
        if (!segments) {
            return 1;
        }
        return assembleTimeline(runConfig, cues, *segments);
    }

private:
    const Config& config;
    QNetworkAccessManager network;
    std::optional<RunResources> resources;
    std::optional<ElevenLabsClient> client;
};

int runOneFile(const Config& config, RunSession& session) {
    const std::optional<QList<VttCue>> cues = openSubtitleFile(config.vttFile);
    if (!cues) {
        return 1;
    }
    if (config.dryRun) {
        printCueListing(*cues, config.limit);
        return 0;
    }
    if (!session.ensurePrepared()) {
        return 1;
    }
    return session.narrate(config, *cues);
}

bool endsWithIgnoringCase(const QString& text, const char* suffix) {
    return text.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
}

// The slot a clip may fill: up to the next processed cue, the last one up to the timeline's
// end; where that leaves nothing, its own cue.
qint64 slotLengthMs(const QList<qint64>& starts, const QList<qint64>& ends, int index,
                    qint64 durationMs) {
    const qint64 slotEnd = index + 1 < starts.size() ? starts[index + 1] : durationMs;
    const qint64 slot = slotEnd - starts[index];
    return slot > 0 ? slot : ends[index] - starts[index];
}

// How a planned timeline is measured and written; the clips are either all in memory or
// loaded again one at a time while the file is written.
struct TimelineSource {
    std::function<std::optional<TimelinePlan>(qint64 paddingMs, QString* error,
                                              TimelinePlanFailure* failure)>
        plan;
    std::function<qint64()> speechMs;
    std::function<bool(const TimelinePlan& plan, const QString& path, bool mp3, QString* error)>
        write;
};

int writeTimeline(const Config& config, const QList<double>& speedUps, qint64 durationMs,
                  const TimelineSource& source) {
    qint64 paddingMs = config.paddingMs;
    if (config.autopad) {
        printError(QObject::tr("Calculating required padding automatically...\n"));
        QString error;
        TimelinePlanFailure failure;
        if (!source.plan(0, &error, &failure)) {
            if (failure.kind != TimelinePlanFailure::Kind::ClipPastEnd) {
                printError(QObject::tr("Failed to calculate padding: %1\n").arg(error));
                return 1;
            }
            // The usual estimate, or more when late cues and collisions push the last clip
            // further than it allows.
            paddingMs =
                std::max(paddingMs, std::max<qint64>(0, source.speechMs() - durationMs) + 500);
            paddingMs = std::max(paddingMs, failure.paddingNeededMs);
        }
        printError(QObject::tr("Using automatically calculated padding of %1 ms\n").arg(paddingMs));
    }

    printError(QObject::tr("Mixing audio segments...\n"));
    QString error;
    const std::optional<TimelinePlan> plan = source.plan(paddingMs, &error, nullptr);
    if (!plan) {
        printError(QObject::tr("Failed to mix audio: %1\n").arg(error));
        return 1;
    }
    for (int k = 0; k < plan->placements.size(); ++k) {
        const SegmentPlacement& placement = plan->placements[k];
        printError(QObject::tr("Segment %1: desired %2 ms, actual %3 ms - %4 ms\n")
                       .arg(k + 1)
                       .arg(placement.desiredStartMs)
                       .arg(placement.actualStartMs)
                       .arg(placement.actualEndMs));
        if (speedUps[k] > 1.0) {
            printError(
                QObject::tr("  (sped up by %1x to fit its cue)\n").arg(speedUps[k], 0, 'f', 2));
        }
        if (placement.actualStartMs > placement.desiredStartMs) {
            printError(QObject::tr("  (delayed by %1 ms to avoid collision)\n")
                           .arg(placement.actualStartMs - placement.desiredStartMs));
        }
    }

    QString outputPath = config.outputFile;
    if (endsWithIgnoringCase(outputPath, ".mp3")) {
        if (!source.write(*plan, outputPath, true, &error)) {
            printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created mixed MP3 audio file: %1\n").arg(outputPath));
        return 0;
    }
    if (!endsWithIgnoringCase(outputPath, ".wav")) {
        outputPath += QStringLiteral(".wav");
    }
    if (!source.write(*plan, outputPath, false, &error)) {
        printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
        return 1;
    }
    printError(QObject::tr("Created mixed WAV audio file: %1\n").arg(outputPath));
    return 0;
}

void printClipFailure(const QList<AudioSegment>& segments, const ClipFailure& failure) {
    if (failure.index < 0) {
        printError(QObject::tr("Failed to measure loudness: %1\n").arg(failure.message));
        return;
    }
    const QString& path = segments[failure.index].filePath;
    switch (failure.kind) {
    case ClipFailure::Kind::Load:
    case ClipFailure::Kind::Resample:
        printError(QObject::tr("Failed to load audio segment %1: %2\n").arg(path, failure.message));
        return;
    case ClipFailure::Kind::SpeedUp:
        printError(
            QObject::tr("Failed to speed up audio segment %1: %2\n").arg(path, failure.message));
        return;
    case ClipFailure::Kind::Measure:
        printError(
            QObject::tr("Failed to prepare audio segment %1: %2\n").arg(path, failure.message));
        return;
    }
}

} // namespace

QString batchOutputPath(const QString& inputFile, const QString& outputOption) {
    const QString extension = endsWithIgnoringCase(outputOption, ".mp3") ? QStringLiteral(".mp3")
                                                                         : QStringLiteral(".wav");
    const QFileInfo input(inputFile);
    QString output = input.dir().filePath(input.completeBaseName() + extension);
    if (QFileInfo(output) == input) {
        output = inputFile + extension; // never overwrite the subtitles themselves
    }
    return output;
}

int runSubtitleFile(const Config& config) {
    RunSession session(config);
    return runOneFile(config, session);
}

int runBatch(const Config& config) {
    QStringList files;
    for (const QString& entry : config.batchFiles.split(QLatin1Char(','))) {
        const QString file = entry.trimmed();
        if (!file.isEmpty()) {
            files.append(file);
        }
    }
    if (files.isEmpty()) {
        printError(QObject::tr("--batch needs at least one subtitle file\n"));
        return 1;
    }
    RunSession session(config);
    for (int i = 0; i < files.size(); ++i) {
        printError(QObject::tr("Batch %1/%2: %3\n").arg(i + 1).arg(files.size()).arg(files[i]));
        Config fileConfig = config;
        fileConfig.vttFile = files[i];
        fileConfig.batchFiles.clear();
        fileConfig.outputFile = batchOutputPath(files[i], config.outputFile);
        if (runOneFile(fileConfig, session) != 0) {
            printError(QObject::tr("Batch stopped at file %1/%2: %3\n")
                           .arg(i + 1)
                           .arg(files.size())
                           .arg(files[i]));
            return 1;
        }
    }
    printError(QObject::tr("Batch complete: %1 files\n").arg(files.size()));
    return 0;
}

int assembleTimeline(const Config& config, const QList<VttCue>& allCues,
                     const QList<AudioSegment>& segments) {
    if (config.noPadding) {
        printError(QObject::tr("\n--no-padding mode: Individual segment files generated "
                               "successfully.\n"));
        printError(QObject::tr("Segment files are located in: %1\n").arg(config.tempDir));
        return 0;
    }

    qint64 durationMs = 0;
    for (const VttCue& cue : allCues) {
        durationMs = std::max(durationMs, cue.endMs);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    starts.reserve(segments.size());
    ends.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        starts.append(segment.startMs);
        ends.append(segment.endMs);
    }

    // Every clip is measured in a first pass and made again, one at a time, while the file is
    // written: memory does not grow with the narration.
    QStringList paths;
    paths.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        paths.append(segment.filePath);
    }
    ClipPreparation preparation;
    if (config.autospeed) {
        preparation.speedUp = [&](qsizetype j, qint64 length, int rate) {
            const qint64 slotMs = slotLengthMs(starts, ends, int(j), durationMs);
            if (slotMs <= 0 || rate <= 0) {
                return 1.0;
            }
            const qint64 slotSamples = slotMs * rate / 1000;
            if (slotSamples <= 0 || length <= slotSamples) {
                return 1.0;
            }
            return std::min(double(length) / double(slotSamples), kMaxSpeedUp);
        };
    }
    preparation.measureLoudness = config.loudnessLufs.has_value();
    ClipFailure failure;
    const std::optional<PreparedClips> clips = PreparedClips::prepare(paths, preparation, &failure);
    if (!clips) {
        printClipFailure(segments, failure);
        return 1;
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error, TimelinePlanFailure* planFailure) {
        return planTimelineFromLengths(clips->lengths(), clips->sampleRate(), starts, ends,
                                       durationMs, paddingMs, error, planFailure);
    };
    source.speechMs = [&] {
        return clips->speechMs();
    };
    const TimelineClipLoader load = [&](qsizetype i, AudioBuffer& clip, QString* error) {
        return clips->load(i, clip, error);
    };
    // A loudness target replaces the peak normalisation with one gain.
    std::optional<LoudnessGain> gain;
    if (config.loudnessLufs) {
        gain = loudnessGain(*clips->loudness(), *config.loudnessLufs, config.truePeakDbtp);
    }
    const OutputLevel level =
        gain ? OutputLevel::scaledBy(gain->factor) : OutputLevel::normalizedFromPeak(clips->peak());
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        if (mp3 && gain) {
            return writeStreamedTimelineMp3AtLoudness(plan, clips->lengths(), load, path,
                                                      *config.loudnessLufs, config.truePeakDbtp,
                                                      *gain, error);
        }
        return mp3 ? writeStreamedTimelineMp3(plan, clips->lengths(), level, load, path, error)
                   : writeStreamedTimelineWav(plan, clips->lengths(), level, load, path, error);
    };
    const int status = writeTimeline(config, clips->speedUps(), durationMs, source);
    if (status == 0 && gain) {
        printError(loudnessReport(*gain, *config.loudnessLufs, config.truePeakDbtp));
    }
    return status;
}

} // namespace lyrane
