#include "runs/cue_listing.h"

#include "runs/console.h"
#include "runs/cue_voices.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

// HH:mm:ss.zzz of a time of day, as QTime::toString writes it, without its locale machinery:
// the listing of a long file formats hundreds of thousands of them.
QString formatTimeOfDay(const QTime& time) {
    const int values[] = {time.hour(), time.minute(), time.second(), time.msec()};
    QChar text[12];
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) {
            text[at + i] = QLatin1Char(char('0' + value % 10));
        }
    };
    put(0, values[0], 2);
    text[2] = QLatin1Char(':');
    put(3, values[1], 2);
    text[5] = QLatin1Char(':');
    put(6, values[2], 2);
    text[8] = QLatin1Char('.');
    put(9, values[3], 3);
    return QString(text, 12);
}

} // namespace

void printCueListing(const QList<Cue>& cues, int limit, const VoiceMap& voices,
                     const QString& defaultVoice, const Lexicon* lexicon,
                     const QStringList& notes) {
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
        listing += startLine.arg(formatTimeOfDay(cue.startTime()));
        listing += endLine.arg(formatTimeOfDay(cue.endTime()));
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
    printOutput(listing);
}

} // namespace lyrane
