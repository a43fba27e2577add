#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// Whether a label at the start of a cue's text ("ANNA: ...", "[Anna] ...") may name its speaker.
// Voice spans name the speaker either way.
enum class SpeakerLabels { On, Off };

// "on" or "off", as --speaker-labels takes it; nullopt for anything else.
std::optional<SpeakerLabels> parseSpeakerLabels(const QString& value);

// One cue as the parser gives it: the text without markup, and the name of its opening voice
// span (empty when it has none).
struct SpeakerCueInput {
    QString text;
    QString voiceSpanSpeaker;
};

// Who speaks a cue and what is said. `speaker` is empty when the cue names nobody; a label that
// names the speaker is not part of `spokenText`.
struct SpeakerCue {
    QString speaker;
    QString spokenText;
};

// The speakers of a whole file's cues, in order. Whether a "Name:" label counts depends on the
// rest of the file, hence the whole list. A speaker is named as written where it first counts
// (whitespace runs made single spaces); names are compared without regard to letter case.
QList<SpeakerCue> findSpeakers(const QList<SpeakerCueInput>& cues, SpeakerLabels labels);

} // namespace lyrane
