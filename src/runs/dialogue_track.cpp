#include "runs/dialogue_track.h"

#include "audio/clip_loading.h"
#include "subtitles/subtitle_file.h"

#include <QFileInfo>
#include <QObject>

namespace lyrane {

std::optional<QList<TimeSpan>> readDialogue(const QString& path, const QString& encoding,
                                            const SubtitleReadingOptions& reading, Console& console,
                                            NarrationOutcome* failure) {
    QString error;
    const std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, reading, &error);
    if (!file || file->cues.isEmpty()) {
        const QString reason = !file                          ? error
                               : file->noCuesReason.isEmpty() ? QObject::tr("it contains no cues")
                                                              : file->noCuesReason;
        *failure = NarrationOutcome::failedWith(
            RunFailure::Kind::Input,
            QObject::tr("failed to parse dialogue file %1: %2\n").arg(path, reason));
        return std::nullopt;
    }
    // Cues left out are said, as for --vtt: a lost dialogue cue would let a description cover it.
    for (const QString& notice : file->notices) {
        console.error(notice + QLatin1Char('\n'));
    }
    QList<TimeSpan> spans;
    spans.reserve(file->cues.size());
    for (const Cue& cue : file->cues) {
        spans.append({cue.startMs, cue.endMs});
    }
    return mergedSpans(std::move(spans));
}

QString programmeTime(qint64 ms) {
    const qint64 clamped = std::max<qint64>(0, ms);
    return QStringLiteral("%1:%2:%3.%4")
        .arg(clamped / 3600000, 2, 10, QLatin1Char('0'))
        .arg(clamped / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(clamped / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(clamped % 1000, 3, 10, QLatin1Char('0'));
}

namespace {

QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'f', 1);
}

} // namespace

int sayDialogueCover(Console& console, const QList<DescriptionFit>& fits) {
    int covering = 0;
    qint64 coveredMs = 0;
    int pauses = 0;
    qint64 pausedMs = 0;
    for (int k = 0; k < fits.size(); ++k) {
        const DescriptionFit& fit = fits[k];
        if (fit.outcome == FitOutcome::Paused) {
            ++pauses;
            pausedMs += fit.pauseMs;
            console.error(QObject::tr("Description %1 pauses the programme at %2 for %3 s\n")
                              .arg(k + 1)
                              .arg(programmeTime(fit.pauseAtMs), seconds(fit.pauseMs)));
        }
        if (fit.outcome != FitOutcome::CoversDialogue) {
            continue;
        }
        ++covering;
        coveredMs += fit.coveredMs;
        console.error(QObject::tr("Description %1 covers dialogue at %2 by %3 s\n")
                          .arg(k + 1)
                          .arg(programmeTime(fit.coveredFromMs), seconds(fit.coveredMs)));
    }
    if (pauses > 0) {
        console.error(QObject::tr("The programme pauses %n time(s), %1 s in all\n", nullptr, pauses)
                          .arg(seconds(pausedMs)));
    }
    if (covering == 0) {
        console.error(QObject::tr("Every description is clear of the dialogue\n"));
    } else {
        console.error(
            QObject::tr("%n description(s) cover dialogue, %1 s in all\n", nullptr, covering)
                .arg(seconds(coveredMs)));
    }
    return covering;
}

namespace {

QString fitText(const DescriptionFit& fit) {
    switch (fit.outcome) {
    case FitOutcome::AtCue:
        return QObject::tr("plays at its cue");
    case FitOutcome::Shifted:
        return QObject::tr("plays from %1").arg(programmeTime(fit.startMs));
    case FitOutcome::SpedUp:
        return QObject::tr("plays sped up %1x").arg(fit.speedUp, 0, 'f', 2);
    case FitOutcome::Paused:
        return QObject::tr("pauses the programme at %1 for %2 s")
            .arg(programmeTime(fit.pauseAtMs), seconds(fit.pauseMs));
    case FitOutcome::CoversDialogue:
        break;
    }
    return QObject::tr("covers dialogue at %1 by %2 s")
        .arg(programmeTime(fit.coveredFromMs), seconds(fit.coveredMs));
}

} // namespace

QList<DescriptionFit> cachedClipFits(const QList<Cue>& cues, const QStringList& paths,
                                     const QList<TimeSpan>& dialogue,
                                     const TimelineSettings& settings) {
    QList<DescriptionToFit> toFit;
    for (qsizetype i = 0; i < paths.size() && i < cues.size(); ++i) {
        QString error;
        const std::optional<AudioBuffer> clip =
            QFileInfo::exists(paths[i]) ? loadAudio(paths[i], &error) : std::nullopt;
        if (!clip || clip->sampleRate <= 0) {
            return {};
        }
        const qint64 rate = clip->sampleRate;
        toFit.append({cues[i].startMs, (qint64(clip->samples.size()) * 1000 + rate - 1) / rate});
    }
    // 1.5: the --autospeed cap. The picture's hold points are found when the run is made.
    FitLimits limits{settings.maxShiftMs, settings.autospeed ? 1.5 : 1.0, {}};
    if (settings.extended) {
        limits.holdPoint = [](qint64 timeMs) {
            return timeMs;
        };
    }
    return fitDescriptions(dialogue, toFit, limits);
}

QString dialogueGapListing(const QList<Cue>& cues, int count, const QList<TimeSpan>& dialogue,
                           const QList<DescriptionFit>& fits) {
    QString listing =
        QObject::tr("Dialogue gaps (%n dialogue span(s)):\n", nullptr, int(dialogue.size()));
    for (int i = 0; i < count && i < cues.size(); ++i) {
        const TimeSpan gap = gapAt(dialogue, cues[i].startMs);
        QString where;
        if (gap.startMs == gap.endMs) {
            where = QObject::tr("inside dialogue");
        } else if (gap.endMs < 0) {
            where = QObject::tr("gap %1 - end, after the last dialogue")
                        .arg(programmeTime(gap.startMs));
        } else {
            where =
                QObject::tr("gap %1 - %2 (%3 s, %4 s from the cue)")
                    .arg(programmeTime(gap.startMs), programmeTime(gap.endMs),
                         seconds(gap.endMs - gap.startMs), seconds(gap.endMs - cues[i].startMs));
        }
        if (i < fits.size()) {
            where += QLatin1String("; ") + fitText(fits[i]);
        }
        listing += QObject::tr("  Cue %1 at %2: %3\n")
                       .arg(i + 1)
                       .arg(programmeTime(cues[i].startMs), where);
    }
    if (fits.isEmpty()) {
        listing += QObject::tr("  (where each clip would play is listed once every clip is in "
                               "the cache)\n");
    }
    return listing;
}

} // namespace lyrane
