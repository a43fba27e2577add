#include "runs/subtitle_run.h"

#include "audio/audio_processor.h"
#include "cli/console.h"
#include "runs/run_preparation.h"
#include "audio/streamed_timeline.h"

#include "runs/programme_mix_run.h"

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
constexpr int kMaxLoadThreads = 8;

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
    // A programme that cannot be mixed over stops the run before any speech is requested.
    if (!config.mixWith.isEmpty() && !programmeDurationForRun(config)) {
        return 1;
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

// Loads every clip, end silence trimmed, and hands clip i to keep(i, clip), from several
// threads at once: reading and converting the files is most of a cached run's time. The
// failure reported is the first in cue order, as with one thread; once a clip has failed no
// further one is started.
bool loadClips(const AudioProcessor& audio, const QList<AudioSegment>& segments,
               const std::function<void(qsizetype, AudioBuffer&)>& keep) {
    const qsizetype count = segments.size();
    std::vector<char> loaded(static_cast<size_t>(count), 0);
    std::vector<QString> errors(static_cast<size_t>(count));
    std::atomic<qsizetype> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        AudioBuffer clip; // reused while keep() leaves it alone
        while (!failed.load(std::memory_order_relaxed)) {
            const qsizetype i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            QString error;
            if (!loadTrimmedClip(audio, segments[i].filePath, clip, &error)) {
                errors[size_t(i)] = error;
                failed.store(true);
                return;
            }
            keep(i, clip);
            loaded[size_t(i)] = 1;
        }
    };
    const qsizetype helpers =
        std::min<qsizetype>(std::clamp(QThread::idealThreadCount(), 1, kMaxLoadThreads), count) - 1;
    std::vector<std::thread> threads;
    for (qsizetype t = 0; t < helpers; ++t) {
        threads.emplace_back(work);
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Indices are claimed in order, so the first clip not loaded is the first that failed.
    for (qsizetype i = 0; i < count; ++i) {
        if (!loaded[size_t(i)]) {
            printError(QObject::tr("Failed to load audio segment %1: %2\n")
                           .arg(segments[i].filePath, errors[size_t(i)]));
            return false;
        }
    }
    return true;
}

// How a planned timeline is measured and written; the clips are either all in memory or
// loaded again one at a time while the file is written.
struct TimelineSource {
    std::function<std::optional<TimelinePlan>(qint64 paddingMs, QString* error)> plan;
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
        if (!source.plan(0, &error)) {
            if (!error.contains(QLatin1String("additional padding"))) {
                printError(QObject::tr("Failed to calculate padding: %1\n").arg(error));
                return 1;
            }
            paddingMs =
                std::max(paddingMs, std::max<qint64>(0, source.speechMs() - durationMs) + 500);
        }
        printError(QObject::tr("Using automatically calculated padding of %1 ms\n").arg(paddingMs));
    }

    printError(QObject::tr("Mixing audio segments...\n"));
    QString error;
    const std::optional<TimelinePlan> plan = source.plan(paddingMs, &error);
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

    if (!config.mixWith.isEmpty()) {
        return writeNarrationOverProgramme(config, *plan, [&](const QString& path, QString* error) {
            return source.write(*plan, path, false, error);
        });
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

// What the first pass keeps of a clip when the timeline is streamed.
struct ClipShape {
    qint64 length = 0;
    int sampleRate = 0;
    double peak = 0.0;
};

// WAV clips that need no stretching are measured in a first pass and read again while the
// output is written, so a long narration holds one clip at a time instead of all of them
// (gigabytes of samples for a few hours). Returns nullopt, having printed nothing, when the
// clips turn out to need resampling; the in-memory path handles those.
std::optional<int> streamTimeline(const Config& config, const AudioProcessor& audio,
                                  const QList<AudioSegment>& segments, const QList<qint64>& starts,
                                  const QList<qint64>& ends, qint64 durationMs) {
    std::vector<ClipShape> shapes(static_cast<size_t>(segments.size()));
    const bool loaded = loadClips(audio, segments, [&shapes](qsizetype i, AudioBuffer& clip) {
        ClipShape& shape = shapes[size_t(i)];
        shape.length = clip.samples.size();
        shape.sampleRate = clip.sampleRate;
        for (const double s : std::as_const(clip.samples)) {
            shape.peak = std::max(shape.peak, std::fabs(s));
        }
    });
    if (!loaded) {
        return 1;
    }
    const int rate = shapes.front().sampleRate;
    QList<qint64> lengths;
    lengths.reserve(segments.size());
    double peak = 0.0;
    for (const ClipShape& shape : shapes) {
        if (rate <= 0 || shape.sampleRate != rate) {
            return std::nullopt;
        }
        lengths.append(shape.length);
        peak = std::max(peak, shape.peak);
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error) {
        return planTimelineFromLengths(lengths, rate, starts, ends, durationMs, paddingMs, error);
    };
    source.speechMs = [&] {
        qint64 speechMs = 0;
        for (const qint64 length : lengths) {
            speechMs += length * 1000 / rate;
        }
        return speechMs;
    };
    const TimelineClipLoader load = [&](qsizetype i, AudioBuffer& clip, QString* error) {
        return loadTrimmedClip(audio, segments[i].filePath, clip, error);
    };
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        return mp3 ? writeStreamedTimelineMp3(plan, lengths, peak, load, path, error)
                   : writeStreamedTimelineWav(plan, lengths, peak, load, path, error);
    };
    return writeTimeline(config, QList<double>(segments.size(), 1.0), durationMs, source);
}

bool canStream(const Config& config, const QList<AudioSegment>& segments) {
    if (config.autospeed || segments.isEmpty()) {
        return false;
    }
    for (const AudioSegment& segment : segments) {
        if (QFileInfo(segment.filePath).suffix().toLower() != QLatin1String("wav")) {
            return false;
        }
    }
    return true;
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
    // Over a programme, the timeline lasts at least as long as the programme.
    if (!config.mixWith.isEmpty()) {
        const std::optional<qint64> programmeMs = programmeDurationForRun(config);
        if (!programmeMs) {
            return 1;
        }
        durationMs = std::max(durationMs, *programmeMs);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    starts.reserve(segments.size());
    ends.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        starts.append(segment.startMs);
        ends.append(segment.endMs);
    }

    const AudioProcessor audio;
    if (canStream(config, segments)) {
        if (const std::optional<int> status =
                streamTimeline(config, audio, segments, starts, ends, durationMs)) {
            return *status;
        }
    }

    std::vector<AudioBuffer> loaded(static_cast<size_t>(segments.size()));
    if (!loadClips(audio, segments, [&loaded](qsizetype i, AudioBuffer& clip) {
            loaded[size_t(i)] = std::move(clip);
        })) {
        return 1;
    }
    QList<AudioBuffer> clips;
    clips.reserve(segments.size());
    for (AudioBuffer& clip : loaded) {
        clips.append(std::move(clip));
    }
    loaded.clear();

    // The timeline runs at the first clip's rate; clips cached at another rate keep their pitch.
    const int timelineRate = clips.isEmpty() ? 0 : clips.first().sampleRate;
    for (int j = 1; j < clips.size(); ++j) {
        if (timelineRate > 0 && clips[j].sampleRate != timelineRate) {
            QString error;
            std::optional<AudioBuffer> resampled = audio.resample(clips[j], timelineRate, &error);
            if (!resampled) {
                printError(QObject::tr("Failed to load audio segment %1: %2\n")
                               .arg(segments[j].filePath, error));
                return 1;
            }
            clips[j] = std::move(*resampled);
        }
    }

    QList<double> speedUps(clips.size(), 1.0);
    if (config.autospeed) {
        for (int j = 0; j < clips.size(); ++j) {
            AudioBuffer& clip = clips[j];
            const qint64 slotMs = slotLengthMs(starts, ends, j, durationMs);
            if (slotMs <= 0 || clip.sampleRate <= 0) {
                continue;
            }
            const qint64 slotSamples = slotMs * clip.sampleRate / 1000;
            if (slotSamples <= 0 || clip.samples.size() <= slotSamples) {
                continue;
            }
            const double factor =
                std::min(double(clip.samples.size()) / double(slotSamples), kMaxSpeedUp);
            QString error;
            std::optional<AudioBuffer> faster = audio.speedUp(clip, factor, &error);
            if (!faster) {
                printError(QObject::tr("Failed to speed up audio segment %1: %2\n")
                               .arg(segments[j].filePath, error));
                return 1;
            }
            clip = std::move(*faster);
            speedUps[j] = factor;
        }
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error) {
        return audio.planTimeline(clips, starts, ends, durationMs, paddingMs, error);
    };
    source.speechMs = [&] {
        qint64 speechMs = 0;
        for (const AudioBuffer& clip : clips) {
            if (clip.sampleRate != 0) {
                speechMs += qint64(clip.samples.size()) * 1000 / clip.sampleRate;
            }
        }
        return speechMs;
    };
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        return mp3 ? audio.writeTimelineMp3(clips, plan, path, error)
                   : audio.writeTimelineWav(clips, plan, path, error);
    };
    return writeTimeline(config, speedUps, durationMs, source);
}

} // namespace lyrane
