#include "runs/word_timing.h"

#include "synthesis/word_alignment.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace lyrane {

std::optional<ReportSpeech> cueSpeech(const ClipJob& job, const ClipSpan& span) {
    if (job.alignmentPath.isEmpty() || !QFileInfo::exists(job.alignmentPath)) {
        return std::nullopt;
    }
    const std::optional<WordAlignment> alignment = readAlignmentFile(job.alignmentPath, nullptr);
    if (!alignment) {
        return std::nullopt;
    }
    const double speedUp = span.speedUp > 0 ? span.speedUp : 1.0;
    const qint64 endMs = std::max(span.startMs, span.endMs);
    qint64 latest = span.startMs;
    // Monotonic and inside the span, also where the clip's silent end was trimmed.
    const auto onTimeline = [&](double seconds) {
        const qint64 at = span.startMs + std::llround(seconds * 1000.0 / speedUp);
        latest = std::clamp(at, latest, endMs);
        return latest;
    };
    ReportSpeech speech;
    speech.missingCharacters = alignmentMissingCharacters(*alignment, job.request.text);
    speech.cutShort = speech.missingCharacters > 0;
    for (const TimedWord& word : alignedWords(*alignment)) {
        const qint64 start = onTimeline(word.startSeconds);
        speech.words.append({word.text, start, onTimeline(word.endSeconds)});
    }
    if (!speech.words.isEmpty()) {
        speech.startMs = speech.words.first().startMs;
        speech.endMs = speech.words.last().endMs;
    } else {
        speech.startMs = span.startMs;
        speech.endMs = span.startMs;
    }
    return speech;
}

QList<std::optional<ReportSpeech>> timelineSpeech(const QList<ClipJob>& jobs,
                                                  const QList<ClipPlacement>& placements,
                                                  const QList<double>& speedUps, bool listWords) {
    QList<std::optional<ReportSpeech>> speech;
    for (qsizetype k = 0; k < placements.size() && k < jobs.size(); ++k) {
        const ClipPlacement& placement = placements[k];
        const double speedUp = k < speedUps.size() ? speedUps[k] : 1.0;
        speech.append(
            cueSpeech(jobs[k], {placement.actualStartMs, placement.actualEndMs, speedUp}));
        if (speech.last()) {
            speech.last()->listWords = listWords;
        }
    }
    return speech;
}

QList<CaptionWord> captionWords(const ReportSpeech& speech) {
    QList<CaptionWord> words;
    words.reserve(speech.words.size());
    for (const ReportWord& word : speech.words) {
        words.append({word.text, word.startMs});
    }
    return words;
}

} // namespace lyrane
