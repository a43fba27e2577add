#include "runs/exchange_sinks.h"

#include "audio/broadcast_wav.h"
#include "audio/ducking_envelope.h"
#include "audio/stems_folder.h"
#include "audio/wav_file.h"
#include "subtitles/pauses.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QObject>

namespace lyrane {

namespace {

constexpr qint64 kMicrosecondsPerSecond = 1000000;

// The programme's first frame as 48 kHz samples since midnight, as a workstation reads a
// TimeReference.
quint64 originSamples(const std::optional<SmpteTimecode>& origin) {
    if (!origin) {
        return 0;
    }
    const qint64 microseconds = origin->toMicroseconds();
    return quint64((microseconds * kBroadcastWavSampleRate + kMicrosecondsPerSecond / 2) /
                   kMicrosecondsPerSecond);
}

// What a cue's clip says: its pauses are silence, not words.
QString spokenText(const NarrationPlan& plan, const CueRecord& record) {
    return withoutPauses(plan.input->cues[record.index].text).trimmed();
}

NarrationOutcome failedOrStopped(RunContext context, const QString& line) {
    if (context.stop.requested()) {
        return NarrationOutcome::stoppedBy(context.stop.signal());
    }
    return NarrationOutcome::failedWith(RunFailure::Kind::Output, line);
}

// Clip `index` as it plays in the output (trimmed, sped up, at the output's level), as the
// 16-bit WAV file the output's own samples come from.
std::optional<QByteArray> placedClipWav(const PlacedTimeline& timeline, qsizetype index,
                                        QString* error) {
    AudioBuffer clip;
    if (!timeline.clips->load(index, clip, error)) {
        return std::nullopt;
    }
    for (double& sample : clip.samples) {
        sample = atOutputLevel(timeline.level, sample);
    }
    QByteArray wav;
    if (!makeWavHeader(clip.samples.size(), clip.sampleRate, &wav, error)) {
        return std::nullopt;
    }
    return wav + toPcm16Bytes(clip);
}

std::optional<QByteArray> fileBytes(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QObject::tr("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

QList<std::optional<DaptDucking>> programmeDucking(const TimelinePlan& plan,
                                                   const ProgrammeMixSettings& mix) {
    const qsizetype count = plan.startSamples.size();
    QList<std::optional<DaptDucking>> ducking(count);
    if (mix.programmePath.isEmpty() || !(mix.duckDb > 0) || plan.sampleRate <= 0 ||
        plan.placements.size() != count) {
        return ducking;
    }
    // The spans and ramps the mix plans its regions from (see writeNarrationOverProgramme), at
    // the narration's rate.
    const qint64 rate = plan.sampleRate;
    QList<SampleSpan> spans;
    spans.reserve(count);
    for (qsizetype k = 0; k < count; ++k) {
        spans.append({plan.startSamples[k], plan.placements[k].actualEndMs * rate / 1000});
    }
    const QList<DuckRegion> regions = planDuckRegions(spans, qint64(mix.duckAttackMs) * rate / 1000,
                                                      qint64(mix.duckReleaseMs) * rate / 1000);
    // Each clip's region: the one whose hold it starts in. Clips keep their order on the
    // timeline, and so do the regions.
    QList<qsizetype> regionOf(count, -1);
    qsizetype region = 0;
    for (qsizetype k = 0; k < count; ++k) {
        while (region < regions.size() && regions[region].holdEnd < spans[k].start) {
            ++region;
        }
        if (region < regions.size() && regions[region].holdStart <= spans[k].start) {
            regionOf[k] = region;
        }
    }
    // The first and last clip that sound in a region lower and restore the programme.
    const auto sounds = [&spans](qsizetype k) {
        return spans[k].end > spans[k].start;
    };
    qsizetype previous = -1;
    for (qsizetype k = 0; k < count; ++k) {
        if (regionOf[k] < 0) {
            continue;
        }
        DaptDucking duck;
        duck.depthDb = mix.duckDb;
        duck.attackMs = mix.duckAttackMs;
        duck.releaseMs = mix.duckReleaseMs;
        duck.lowers = sounds(k) && (previous < 0 || regionOf[previous] != regionOf[k]);
        qsizetype next = k + 1;
        while (next < count && !sounds(next)) {
            ++next;
        }
        duck.restores = sounds(k) && (next >= count || regionOf[next] != regionOf[k]);
        ducking[k] = duck;
        if (sounds(k)) {
            previous = k;
        }
    }
    return ducking;
}

QString languageTag(const QString& iso639) {
    const QLocale::Language language = QLocale::codeToLanguage(iso639, QLocale::ISO639Part2);
    if (language == QLocale::AnyLanguage || language == QLocale::C) {
        return iso639;
    }
    const QString twoLetters = QLocale::languageToCode(language, QLocale::ISO639Part1);
    return twoLetters.isEmpty() ? iso639 : twoLetters;
}

NarrationOutcome StemsSink::write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                                  RunContext context) {
    // A stop ends the writing between clips; the folder is then left as it was.
    const std::unique_ptr<StopWatch> watch = context.stop.watch({});
    const PreparedClips& clips = *timeline.clips;
    StemsSource source;
    source.plan = timeline.plan;
    source.lengths = clips.lengths();
    source.level = timeline.level;
    source.load = [&clips](qsizetype j, AudioBuffer& clip, QString* error) {
        return clips.load(j, clip, error);
    };
    for (const CueRecord& record : plan.cues) {
        source.clips.append(
            {int(record.number()),
             QObject::tr("Cue %1: %2").arg(record.number()).arg(spokenText(plan, record))});
    }
    source.timeReferenceOrigin = originSamples(settings.reading.timecodeOrigin);
    QString error;
    if (!writeStemsFolder(source, settings.stemsDirectory, &error, context.stop.check())) {
        return failedOrStopped(context, QObject::tr("Failed to write stems: %1\n").arg(error));
    }
    context.console.error(QObject::tr("Created stems: %1 (%2 clips and %3)\n")
                              .arg(settings.stemsDirectory)
                              .arg(source.clips.size())
                              .arg(QLatin1String(kVoiceOverStemName)));
    return {};
}

NarrationOutcome DaptSink::write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                                 RunContext context) {
    const std::unique_ptr<StopWatch> watch = context.stop.watch({});
    const QDir scriptFolder = QFileInfo(settings.daptFile).absoluteDir();
    const bool toStems = !settings.stemsDirectory.isEmpty();
    const QList<std::optional<DaptDucking>> ducking =
        programmeDucking(timeline.plan, timeline.settings.programme);
    DaptScript script;
    script.language = language.isEmpty() ? QString() : languageTag(language);
    QHash<QString, QString> agentOf; // speaker -> agent id
    QStringList clipFiles;
    for (qsizetype k = 0; k < plan.cues.size() && plan.cues[k].placement; ++k) {
        const CueRecord& record = plan.cues[k];
        const QString& speaker = plan.input->cues[record.index].speaker;
        DaptEvent event;
        event.id = QStringLiteral("d%1").arg(record.number());
        event.beginMs = record.placement->actualStartMs;
        event.endMs = record.placement->actualEndMs;
        if (!speaker.isEmpty()) {
            if (!agentOf.contains(speaker)) {
                const QString id = QStringLiteral("agent%1").arg(agentOf.size() + 1);
                agentOf.insert(speaker, id);
                script.agents.append({id, speaker});
            }
            event.agentId = agentOf.value(speaker);
        }
        event.text = spokenText(plan, record);
        const QString clipFile =
            toStems
                ? QDir(settings.stemsDirectory).absoluteFilePath(stemFileName(int(record.number())))
                : QFileInfo(timeline.clipPaths.value(k)).absoluteFilePath();
        clipFiles.append(clipFile);
        event.clipLink = scriptFolder.relativeFilePath(clipFile);
        const bool mp3 = !toStems && !settings.embedClips &&
                         clipFile.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive);
        event.clipType = mp3 ? QStringLiteral("audio/mpeg") : QStringLiteral("audio/wave");
        event.embedClip = settings.embedClips;
        event.ducking = ducking.value(k);
        script.events.append(event);
    }
    // One clip is held at a time, read from its stem or made again as it plays.
    const DaptClipBytes bytes = [&](qsizetype index, QString* error) -> std::optional<QByteArray> {
        if (context.stop.requested()) {
            *error = QObject::tr("stopped before the output was complete");
            return std::nullopt;
        }
        return toStems ? fileBytes(clipFiles[index], error) : placedClipWav(timeline, index, error);
    };
    QString error;
    if (!saveDaptDocument(script, settings.daptFile, bytes, &error)) {
        return failedOrStopped(context, error + QLatin1Char('\n'));
    }
    context.console.error(QObject::tr("Created DAPT script: %1\n").arg(settings.daptFile));
    return {};
}

} // namespace lyrane
