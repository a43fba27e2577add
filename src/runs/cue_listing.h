#pragma once

#include "runs/voice_map.h"
#include "subtitles/cue.h"
#include "subtitles/lexicon.h"

#include <QList>
#include <QStringList>

namespace lyrane {

// --dry-run's listing of the cues (the first `limit`, all when 0); a cue with a speaker gets a
// line naming it and its voice (from `voices`, else `defaultVoice`); a cue the lexicon changes
// gets a "Spoken:" line with the text as sent; then the cue's line of `notes` when it has one.
QString cueListing(const QList<Cue>& cues, int limit, const VoiceMap& voices = VoiceMap(),
                   const QString& defaultVoice = QString(), const Lexicon* lexicon = nullptr,
                   const QStringList& notes = {});

} // namespace lyrane
