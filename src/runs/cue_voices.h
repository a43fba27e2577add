#pragma once

#include "runs/voice_map.h"
#include "subtitles/cue.h"
#include "subtitles/speakers.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace lyrane {

// Names each cue's speaker (voice span, else a label in its text when `labels` is on). A label
// taken as the speaker leaves the cue's text; every other text stays exactly as parsed, so the
// requests and keys of files without labels are what they always were.
void assignSpeakers(QList<Cue>* cues, SpeakerLabels labels);

// The voice a cue is read in, as the user wrote it: its speaker's voice in `voices`, else
// `defaultVoice` (--voice).
QString cueVoice(const Cue& cue, const VoiceMap& voices, const QString& defaultVoice);

// One line for each speaker among the first `count` cues that `voices` gives no voice, in the
// order they first speak; empty when no map was given, since then every cue uses --voice.
QString unmappedSpeakerLines(const QList<Cue>& cues, int count, const VoiceMap& voices,
                             const QString& defaultVoice);

} // namespace lyrane
