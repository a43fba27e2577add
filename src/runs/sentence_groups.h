#pragma once

#include "runs/run_report.h"
#include "runs/voice_map.h"
#include "subtitles/cue.h"
#include "synthesis/synthesis_settings.h"

#include <QList>
#include <QString>

namespace lyrane {

// Cues spoken in one request: `count` cues from `first` (indices from 0).
struct SentenceGroup {
    int first = 0;
    int count = 1;

    bool joined() const { return count > 1; }
};

// Whether `text` ends a sentence: its last character, closing quotes and brackets aside, is one
// of . ! ? … 。 ！ ？
bool endsSentence(const QString& text);

// --join-sentences: each of the first `count` cues' group, one entry per cue. A cue that does
// not end a sentence is joined with the following cues of the same speaker and voice up to the
// sentence's end, at most five cues and the model's character limit; a group that would break
// a limit is left as single cues.
QList<SentenceGroup> sentenceGroups(const QList<Cue>& cues, int count, bool join,
                                    const VoiceMap& voices, const SynthesisSettings& synthesis);

// The text a group sends: its cues' texts joined by one space.
QString joinedText(const QList<Cue>& cues, const SentenceGroup& group);

// One line per joined group ("Cues 3-4 are one sentence, spoken in one request"), then how
// many requests the narrated cues take; empty when nothing is joined.
QString joinedSentencesText(const QList<SentenceGroup>& groups);
// The numbers of the cues sent with cue `index`, in the report; none when it is alone.
void recordJoined(ReportCue* cue, const QList<SentenceGroup>& groups, int index);

} // namespace lyrane
