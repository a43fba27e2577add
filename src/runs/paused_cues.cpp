#include "runs/paused_cues.h"

#include "audio/clip_loading.h"
#include "audio/pause_join.h"
#include "audio/wav_file.h"
#include "runs/console.h"
#include "runs/spoken_text.h"
#include "subtitles/pauses.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

// Where a clip joined from parts is kept: beside its parts (and in the mirror, as any clip),
// named by their keys and the pauses, so a cue whose parts and pauses stay the same finds its
// clip again.
ClipJob joinedJob(const ClipJob& cueJob, const QList<ClipJob>& parts, const QList<int>& pausesMs,
                  const QString& cacheDirectory, const ClipSource& source) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(QByteArrayLiteral("pauses"));
    for (const ClipJob& part : parts) {
        hash.addData(QByteArrayLiteral("|") + part.key.toLatin1());
    }
    for (const int ms : pausesMs) {
        hash.addData(QByteArrayLiteral("|") + QByteArray::number(ms));
    }
    ClipJob joined = cueJob;
    joined.key = QString::fromLatin1(hash.result().toHex());
    joined.extension = QStringLiteral(".wav");
    // Joined here as 16-bit WAV, whatever the parts came as: checked as WAV before use.
    joined.request.outputFormat = QStringLiteral("pcm_44100");
    joined.path = QDir(cacheDirectory).filePath(joined.cacheFile());
    joined.contentType = QStringLiteral("audio/wav");
    joined.objectKey = source.hasMirror()
                           ? source.clipMirror().objectKey(joined.key, joined.extension)
                           : QString();
    return joined;
}

} // namespace

bool checkCuePauses(const QList<Cue>& cues, int count, QString* failure,
                    std::optional<qint64>* cue) {
    for (int i = 0; i < count && i < cues.size(); ++i) {
        if (!mayHoldPause(cues[i].text)) {
            continue;
        }
        QString problem;
        if (!readPauses(cues[i].text, &problem)) {
            *failure = printFailure(QObject::tr("Cue %1: %2\n").arg(i + 1).arg(problem));
            *cue = i + 1;
            return false;
        }
    }
    return true;
}

std::optional<PausedCue> pausedCue(const RunConfiguration& config, const NarrationInput& input,
                                   int index, const ClipJob& cueJob, const ClipSource& source) {
    if (!mayHoldPause(input.cues[index].text)) {
        return std::nullopt;
    }
    QString problem;
    const std::optional<PausedText> text = readPauses(input.cues[index].text, &problem);
    if (!text) {
        return std::nullopt; // refused before this, by checkCuePauses
    }
    const bool silent =
        std::all_of(text->pausesMs.begin(), text->pausesMs.end(), [](int ms) { return ms == 0; });
    if (silent && text->parts.size() == 1) {
        return std::nullopt; // nothing to pause: the cue is sent as one text, as any other
    }
    PausedCue cue;
    cue.cue = index;
    cue.pausesMs = text->pausesMs;
    const qsizetype n = text->parts.size();
    for (qsizetype k = 0; k < n; ++k) {
        TtsRequest request = cueJob.request;
        request.text = spokenText(config, text->parts[k]);
        if (k > 0) {
            request.previousText = spokenText(config, text->parts[k - 1]);
        }
        if (k + 1 < n) {
            request.nextText = spokenText(config, text->parts[k + 1]);
        }
        cue.parts.append(source.job(request, cueJob.voiceName));
    }
    cue.joined = joinedJob(cueJob, cue.parts, cue.pausesMs, config.cacheDirectory, source);
    return cue;
}

QList<PausedCue> pausedCues(const RunConfiguration& config, const NarrationInput& input,
                            const ClipSource& source, QList<ClipJob>* jobs) {
    QList<PausedCue> paused;
    for (int i = 0; i < input.count && i < jobs->size(); ++i) {
        std::optional<PausedCue> cue = pausedCue(config, input, i, (*jobs)[i], source);
        if (cue) {
            (*jobs)[i] = cue->joined;
            paused.append(std::move(*cue));
        }
    }
    return paused;
}

bool isMade(const PausedCue& cue) {
    // A joined clip that is cut short is made again from its parts: asking the service for it
    // would bring the cue without its pauses.
    return QFileInfo::exists(cue.joined.path) && checkWholeWavFile(cue.joined.path, nullptr);
}

QList<ClipJob> jobsToAskFor(const QList<ClipJob>& jobs, const QList<PausedCue>& paused) {
    if (paused.isEmpty()) {
        return jobs;
    }
    QList<ClipJob> asked;
    qsizetype next = 0;
    for (qsizetype i = 0; i < jobs.size(); ++i) {
        if (next < paused.size() && paused[next].cue == i) {
            const PausedCue& cue = paused[next++];
            if (isMade(cue)) {
                asked.append(cue.joined);
            } else {
                asked.append(cue.parts);
            }
            continue;
        }
        asked.append(jobs[i]);
    }
    return asked;
}

NarrationOutcome makePausedClips(const NarrationInput& input, const QList<PausedCue>& paused,
                                 const RunConfiguration& config, const ClipSource& source) {
    NarrationInput parts = input;
    parts.cues.clear();
    QList<ClipJob> partJobs;
    QList<qint64> cueOfPart; // from 1
    QList<const PausedCue*> toMake;
    for (const PausedCue& cue : paused) {
        if (isMade(cue)) {
            continue;
        }
        toMake.append(&cue);
        const Cue& whole = input.cues[cue.cue];
        for (const ClipJob& part : cue.parts) {
            Cue said = whole;
            said.text = part.request.text;
            parts.cues.append(said);
            partJobs.append(part);
            cueOfPart.append(cue.cue + 1);
        }
    }
    if (toMake.isEmpty()) {
        return {};
    }
    parts.count = int(parts.cues.size());
    std::vector<ClipResult> results;
    NarrationOutcome outcome;
    if (!partJobs.isEmpty()) {
        outcome = fetchClips(parts, partJobs, config, source, &results);
        for (qsizetype k = 0; k < partJobs.size() && size_t(k) < results.size(); ++k) {
            outcome.billing.add(partJobs[k], results[size_t(k)]);
        }
        if (outcome.failedCue && *outcome.failedCue >= 1 &&
            *outcome.failedCue <= cueOfPart.size()) {
            outcome.failedCue = cueOfPart[*outcome.failedCue - 1];
        }
        if (!outcome.done()) {
            return outcome;
        }
    }
    // The parts are paid for by now: a failure to join keeps their billing.
    const auto failed = [&outcome](const PausedCue& cue, const QString& error) {
        NarrationOutcome failure = NarrationOutcome::failed(
            printFailure(QObject::tr("Cue %1: %2\n").arg(cue.cue + 1).arg(error)), cue.cue + 1);
        failure.billing = outcome.billing;
        return failure;
    };
    for (const PausedCue* cue : toMake) {
        QList<AudioBuffer> clips;
        QString error;
        for (const ClipJob& part : cue->parts) {
            std::optional<AudioBuffer> clip = loadAudio(part.path, &error);
            if (!clip) {
                return failed(*cue, error);
            }
            clips.append(std::move(*clip));
        }
        const AudioBuffer joined = joinWithPauses(clips, cue->pausesMs, kRawPcmSampleRate);
        if (!writeWav(joined, cue->joined.path, &error)) {
            return failed(*cue, error);
        }
    }
    return outcome;
}

} // namespace lyrane
