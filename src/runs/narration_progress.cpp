#include "runs/narration_progress.h"

#include "runs/service_notices.h"
#include "subtitles/subtitle_timestamps.h"
#include "synthesis/cost_estimate.h"

#include <QObject>

namespace lyrane {

const ProgressWording& subtitleWording() {
    static const ProgressWording wording{
        QObject::tr("Cached segment is unusable: {error}\n"),
        QObject::tr("Cached segment {path} is unusable ({error}); set aside as {setAside}, "
                    "fetching it again\n"),
        QObject::tr("Downloaded cached segment is unusable: {error}\n"),
        QObject::tr("Downloaded segment from S3: {object}\n"),
        QObject::tr("Generating audio for segment {n}/{count} (from {start} to {end}) using voice "
                    "{voice} in {format} format... {text}\n"),
        QString(),
        QObject::tr("Retrying segment {n} in {delay} ms (attempt {attempt} of {retries}): "
                    "{error}\n"),
        QObject::tr("Failed to generate audio for segment {n}: {error}\n"),
        QObject::tr("cue {n}"),
        QString(),
        QObject::tr("Failed to cache segment {n}: {error}\n"),
        QObject::tr("Uploaded segment to S3: {object}\n"),
        QObject::tr("Uploaded cached segment to S3: {object}\n"),
        QObject::tr("Segment {n}/{count} found in cache: {path}\n"),
        QString(),
        QObject::tr("Created segment {n}: {path}\n"),
        QObject::tr("Generated {count} audio segments\n"),
        QObject::tr("Created mixed MP3 audio file: {path}\n"),
        QObject::tr("Created mixed WAV audio file: {path}\n"),
    };
    return wording;
}

const ProgressWording& singleTextWording() {
    static const ProgressWording wording{
        QObject::tr("Cached audio is unusable: {error}\n"),
        QObject::tr("Cached audio {path} is unusable ({error}); set aside as {setAside}, fetching "
                    "it again\n"),
        QObject::tr("Downloaded audio cache is unusable: {error}\n"),
        QObject::tr("Downloaded audio from S3: {object}\n"),
        QObject::tr("Generating audio for text part {n}/{count}...\n"),
        QObject::tr("Generating audio for text...\n"),
        QObject::tr("Retrying in {delay} ms (attempt {attempt} of {retries}): {error}\n"),
        QObject::tr("Failed to generate audio: {error}\n"),
        QObject::tr("part {n} of the text"),
        QObject::tr("the text"),
        QObject::tr("Failed to cache audio: {error}\n"),
        QObject::tr("Uploaded audio to S3: {object}\n"),
        QObject::tr("Uploaded cached audio to S3: {object}\n"),
        QObject::tr("Using cached audio: {path}\n"),
        QObject::tr("Using cached audio: {path}\n"),
        QObject::tr("Audio generated successfully: {path}\n"),
        QString(),
        QObject::tr("Created MP3 audio file: {path}\n"),
        QObject::tr("Created WAV audio file: {path}\n"),
    };
    return wording;
}

QString fillWording(const QString& pattern, const QList<std::pair<QString, QString>>& fields) {
    QString filled;
    filled.reserve(pattern.size());
    qsizetype at = 0;
    while (at < pattern.size()) {
        const qsizetype open = pattern.indexOf(QLatin1Char('{'), at);
        const qsizetype close = open < 0 ? -1 : pattern.indexOf(QLatin1Char('}'), open);
        if (close < 0) {
            filled.append(QStringView(pattern).mid(at));
            break;
        }
        filled.append(QStringView(pattern).mid(at, open - at));
        const QStringView name = QStringView(pattern).mid(open + 1, close - open - 1);
        bool known = false;
        for (const auto& [field, value] : fields) {
            if (field == name) {
                filled.append(value);
                known = true;
                break;
            }
        }
        if (!known) {
            filled.append(QStringView(pattern).mid(open, close - open + 1));
        }
        at = close + 1;
    }
    return filled;
}

NarrationProgress::NarrationProgress(Console& console, const ProgressWording& wording,
                                     const QList<Cue>& cues, int count, int retries,
                                     const QString& keySource)
    : console(console), wording(wording), cues(cues), count(count), retries(retries),
      keySource(keySource) {}

void NarrationProgress::showStatusLine() {
    status = std::make_unique<StatusLine>(count);
}

void NarrationProgress::report(const ClipNotice& notice, const ClipJob& job) {
    if (status) {
        switch (notice.event) {
        case ClipEvent::Ready:
            status->clipReady(notice.source, notice.source == ClipTier::Service
                                                 ? billableCharacters(job.request.text)
                                                 : 0);
            return;
        case ClipEvent::Synthesizing:
        case ClipEvent::Downloaded:
        case ClipEvent::Uploaded:
            return;
        default:
            status->clear();
        }
    }
    const int number = notice.cue + 1;
    // Every event with an error ends the run, but for a retry and a clip set aside.
    const bool endsTheRun = !notice.error.isEmpty() && notice.event != ClipEvent::Retrying &&
                            notice.event != ClipEvent::CachedSetAside &&
                            notice.event != ClipEvent::AlignmentUnusable;
    if (endsTheRun && !failedCue) {
        failedCue = number;
        failure = notice.error;
    }
    const bool alone = count == 1;
    const auto say = [&](const QString& pattern) {
        if (pattern.isEmpty()) {
            return;
        }
        QList<std::pair<QString, QString>> fields{
            {QStringLiteral("n"), QString::number(number)},
            {QStringLiteral("count"), QString::number(count)},
            {QStringLiteral("path"), job.path},
            {QStringLiteral("object"), job.objectKey},
            {QStringLiteral("error"), notice.error},
            {QStringLiteral("setAside"), notice.setAsidePath},
            {QStringLiteral("delay"), QString::number(notice.delayMs)},
            {QStringLiteral("attempt"), QString::number(notice.attempt)},
            {QStringLiteral("retries"), QString::number(retries)},
            {QStringLiteral("voice"), job.voiceName},
            {QStringLiteral("format"), job.request.outputFormat},
        };
        if (notice.cue >= 0 && notice.cue < cues.size()) {
            const Cue& cue = cues[notice.cue];
            fields.append({QStringLiteral("start"), formatTimestamp(cue.startMs)});
            fields.append({QStringLiteral("end"), formatTimestamp(cue.endMs)});
            fields.append({QStringLiteral("text"), cue.text});
        }
        console.error(fillWording(pattern, fields));
    };
    switch (notice.event) {
    case ClipEvent::CachedUnusable:
        return say(wording.cachedUnusable);
    case ClipEvent::CachedSetAside:
        return say(wording.cachedSetAside);
    case ClipEvent::AlignmentUnusable:
        return say(QObject::tr("The word timing of {path} is unusable ({error}); asking for the "
                               "clip again\n"));
    case ClipEvent::MirrorCheckFailed:
        return say(QObject::tr("S3 cache check failed: {error}\n"));
    case ClipEvent::DownloadFailed:
        return say(QObject::tr("S3 cache download failed: {error}\n"));
    case ClipEvent::DownloadedUnusable:
        return say(wording.downloadedUnusable);
    case ClipEvent::Downloaded:
        return say(wording.downloaded);
    case ClipEvent::Synthesizing:
        return say(alone && !wording.synthesizingAlone.isEmpty() ? wording.synthesizingAlone
                                                                 : wording.synthesizing);
    case ClipEvent::Retrying:
        return say(wording.retrying);
    case ClipEvent::SynthesisFailed: {
        say(wording.synthesisFailed);
        const QString label =
            alone && !wording.tipLabelAlone.isEmpty() ? wording.tipLabelAlone : wording.tipLabel;
        sayServiceErrorTip(
            console, notice.reason,
            {keySource, fillWording(label, {{QStringLiteral("n"), QString::number(number)}})});
        return;
    }
    case ClipEvent::WindowLowered:
        console.error(windowLoweredLine(notice.inFlight));
        return;
    case ClipEvent::StoreFailed:
        return say(wording.storeFailed);
    case ClipEvent::UploadFailed:
        return say(QObject::tr("S3 cache upload failed: {error}\n"));
    case ClipEvent::Uploaded:
        return say(notice.source == ClipTier::Service ? wording.uploadedNew
                                                      : wording.uploadedCached);
    case ClipEvent::Ready:
        switch (notice.source) {
        case ClipTier::Cache:
            return say(wording.readyFromCache);
        case ClipTier::Mirror:
            return say(wording.readyFromMirror);
        case ClipTier::Service:
            return say(wording.readyFromService);
        }
        return;
    }
}

} // namespace lyrane
