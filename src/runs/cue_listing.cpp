#include "runs/cue_listing.h"

#include "runs/cue_voices.h"
#include "subtitles/subtitle_timestamps.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

QString cueListing(const QList<Cue>& cues, int limit, const VoiceMap& voices,
                   const QString& defaultVoice, const Lexicon* lexicon, const QStringList& notes) {
    const int listed = limit == 0 ? int(cues.size()) : std::min(limit, int(cues.size()));
    const QString cueLine = QObject::tr("Cue #%1:\n");
    const QString startLine = QObject::tr("  Start Time: %1\n");
    const QString endLine = QObject::tr("  End Time: %1\n");
    const QString durationLine = QObject::tr("  Duration: %1 ms\n");
    const QString textLine = QObject::tr("  Text: %1\n");
    const QString spokenLine = QObject::tr("  Spoken: %1\n");

    QString listing;
    listing += QObject::tr("\n=== VTT CUES INFORMATION ===\n");
    listing += QObject::tr("Total cues: %1\n\n").arg(cues.size());
    for (int k = 0; k < listed; ++k) {
        const Cue& cue = cues[k];
        listing += cueLine.arg(k + 1);
        listing += startLine.arg(formatTimestamp(cue.startMs));
        listing += endLine.arg(formatTimestamp(cue.endMs));
        listing += durationLine.arg(cue.endMs - cue.startMs);
        listing += textLine.arg(cue.text);
        if (lexicon) {
            const QString spoken = applyLexicon(*lexicon, cue.text);
            if (spoken != cue.text) {
                listing += spokenLine.arg(spoken);
            }
        }
        if (!cue.speaker.isEmpty()) {
            listing += speakerListingLine(cue.speaker, cueVoice(cue, voices, defaultVoice));
        }
        if (k < notes.size()) {
            listing += notes[k];
        }
        listing += QLatin1Char('\n');
    }
    listing += QObject::tr("=== END OF VTT CUES INFORMATION ===\n");
    return listing;
}

} // namespace lyrane
