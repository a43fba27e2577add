#include "runs/joined_clips.h"

#include "audio/clip_loading.h"
#include "audio/wav_file.h"
#include "synthesis/clip_format.h"
#include "synthesis/word_alignment.h"

#include <QFileInfo>
#include <QObject>

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

// Where each cue's text lies in the joined text, in code points: [start, end).
struct CharacterSpan {
    qsizetype start = 0;
    qsizetype end = 0;
};

QList<CharacterSpan> cueSpans(const QList<Cue>& cues, const SentenceGroup& group) {
    QList<CharacterSpan> spans;
    qsizetype at = 0;
    for (int i = group.first; i < group.first + group.count; ++i) {
        const qsizetype length = alignmentCharacters(cues[i].text.trimmed()).size();
        spans.append({at, at + length});
        at += length + 1; // the space between cues
    }
    return spans;
}

// The first and last characters of `span` that are not white space, within the alignment.
std::optional<std::pair<qsizetype, qsizetype>> spokenRange(const WordAlignment& alignment,
                                                           const CharacterSpan& span) {
    const qsizetype end = std::min(span.end, alignment.characters.size());
    qsizetype first = span.start;
    while (first < end && alignment.characters[first].trimmed().isEmpty()) {
        ++first;
    }
    qsizetype last = end - 1;
    while (last >= first && alignment.characters[last].trimmed().isEmpty()) {
        --last;
    }
    if (first >= end || last < first) {
        return std::nullopt;
    }
    return std::pair{first, last};
}

// Where the joined clip is cut between cues, in seconds: one more than the boundaries, from 0
// to the clip's end.
QList<double> cutTimes(const WordAlignment& alignment, const QList<CharacterSpan>& spans,
                       double seconds) {
    QList<double> cuts{0.0};
    for (qsizetype k = 1; k < spans.size(); ++k) {
        const auto before = spokenRange(alignment, spans[k - 1]);
        const auto after = spokenRange(alignment, spans[k]);
        double cut = seconds; // a cue the alignment does not reach starts at the clip's end
        if (after) {
            const double next = alignment.startSeconds[after->first];
            const double previous = before ? alignment.endSeconds[before->second] : next;
            cut = next > previous ? (previous + next) / 2.0 : next;
        }
        cuts.append(std::clamp(cut, cuts.last(), seconds));
    }
    cuts.append(seconds);
    return cuts;
}

// The part's share of the alignment, its times from the part's start.
WordAlignment partAlignment(const WordAlignment& alignment, const CharacterSpan& span, double from,
                            double to) {
    WordAlignment part;
    const qsizetype end = std::min(span.end, alignment.characters.size());
    for (qsizetype c = span.start; c < end; ++c) {
        part.characters.append(alignment.characters[c]);
        part.startSeconds.append(std::clamp(alignment.startSeconds[c], from, to) - from);
        part.endSeconds.append(std::clamp(alignment.endSeconds[c], from, to) - from);
    }
    return part;
}

bool cutGroup(const QList<Cue>& cues, const SentenceGroup& group, const ClipSource& source,
              QList<CueRecord>* records, QString* error) {
    const ClipJob joined = (*records)[group.first].job;
    QString reason;
    const std::optional<WordAlignment> alignment = readAlignmentFile(joined.alignmentPath, &reason);
    const std::optional<AudioBuffer> audio =
        alignment ? loadAudio(joined.path, &reason) : std::nullopt;
    if (!alignment || !audio || audio->sampleRate <= 0) {
        *error = QObject::tr("cannot cut the joined clip of cues %1 to %2: %3")
                     .arg(group.first + 1)
                     .arg(group.first + group.count)
                     .arg(reason);
        return false;
    }
    const double seconds = double(audio->samples.size()) / audio->sampleRate;
    const QList<CharacterSpan> spans = cueSpans(cues, group);
    const QList<double> cuts = cutTimes(*alignment, spans, seconds);
    for (int k = 0; k < group.count; ++k) {
        const qsizetype from = std::llround(cuts[k] * audio->sampleRate);
        const qsizetype to =
            std::max(from, qsizetype(std::llround(cuts[k + 1] * audio->sampleRate)));
        AudioBuffer part;
        part.sampleRate = audio->sampleRate;
        part.samples = audio->samples.mid(from, to - from);
        ClipJob& job = (*records)[group.first + k].placed;
        job = source.sentencePartJob(joined, k + 1, group.count, cues[group.first + k].text);
        const std::optional<QByteArray> wav =
            pcm16MonoWavBytes(keptPcm16Bytes(part), part.sampleRate, error);
        const WordAlignment words = partAlignment(*alignment, spans[k], cuts[k], cuts[k + 1]);
        if (!wav || !writeCacheFile(job.path, *wav, error) ||
            !writeCacheFile(job.alignmentPath, alignmentFileBytes(words), error)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool cutJoinedClips(const QList<Cue>& cues, const ClipSource& source, QList<CueRecord>* records,
                    QString* error) {
    for (qsizetype i = 0; i < records->size(); ++i) {
        const SentenceGroup& group = (*records)[i].group;
        if (group.joined() && group.first == i && !cutGroup(cues, group, source, records, error)) {
            return false;
        }
    }
    return true;
}

} // namespace lyrane
