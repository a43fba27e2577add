#pragma once

#include "audio/timeline_plan.h"
#include "runs/run_report.h"
#include "subtitles/caption_writer.h"
#include "synthesis/clip_source.h"

#include <QList>

#include <optional>

namespace lyrane {

// Where a clip plays on the output: its span and how much faster than recorded.
struct ClipSpan {
    qint64 startMs = 0;
    qint64 endMs = 0;
    double speedUp = 1.0;
};

// A cue's speech on the output's timeline, from the alignment beside its clip; nullopt when
// the clip has none that reads back. Word times rise and stay inside the clip's span.
std::optional<ReportSpeech> cueSpeech(const ClipJob& job, const ClipSpan& span);

// Each cue's speech where its clip plays, for clips laid out by `placements` at `speedUps`
// (missing entries: 1); `listWords` marks the words for the report.
QList<std::optional<ReportSpeech>> timelineSpeech(const QList<ClipJob>& jobs,
                                                  const QList<ClipPlacement>& placements,
                                                  const QList<double>& speedUps, bool listWords);

// The words of `speech` as captions write them.
QList<CaptionWord> captionWords(const ReportSpeech& speech);

} // namespace lyrane
