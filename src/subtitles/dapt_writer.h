#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// A speaker of the narration, written as a ttm:agent of type "character" in the head.
struct DaptAgent {
    QString id;   // its xml:id, an XML name ("narrator", "agent1")
    QString name; // written as its ttm:name of type "alias"; what the reader gives as speaker
};

// How the programme's gain moves around one clip, as the mix ducked it. The gain falls from 1
// to the duck gain (`depthDb` of attenuation) over the attack before the clip and rises back
// over the release after it. Clips close enough to share one ducking leave the programme down
// between them: the first of them lowers it (`restores` false), the last restores it (`lowers`
// false), those between do neither.
struct DaptDucking {
    double depthDb = 10.0;
    qint64 attackMs = 150;
    qint64 releaseMs = 400;
    bool lowers = true;
    bool restores = true;
};

// One description as it was recorded.
struct DaptEvent {
    QString id;         // its xml:id, an XML name unique in the document ("d1", "d2"...)
    qint64 beginMs = 0; // where its clip begins and ends on the output timeline
    qint64 endMs = 0;
    QString agentId;  // the DaptAgent speaking it; empty: none
    QString text;     // as spoken
    QString clipLink; // the clip file, relative to the document; unused when embedded
    QString clipType = QStringLiteral("audio/wave");
    bool embedClip = false;             // the clip's bytes go into the document (see DaptClipBytes)
    std::optional<DaptDucking> ducking; // set where the narration was mixed over a programme
};

// An audio description script as recorded ("asRecorded"), in the order its events play.
struct DaptScript {
    QString language; // xml:lang, a BCP 47 tag; empty: "und"
    QList<DaptAgent> agents;
    QList<DaptEvent> events;
};

// The bytes of event `index`'s clip, for an event that embeds it; asked for one event at a time
// as the document is written, so only one clip is held at once.
using DaptClipBytes = std::function<std::optional<QByteArray>(qsizetype index, QString* error)>;

// Writes the script as a DAPT document: a tt root in the TTML namespace with the DAPT content
// profile, media time base, daptm:scriptRepresents="visual.nonText" and
// daptm:scriptType="asRecorded"; one div per event, its begin and end where the clip plays (or,
// with ducking, from where the programme starts falling to where it is back at full, the clip
// then in a span timed within), daptm:represents="visual.nonText" and its agent; a p holding
// the ducking as tta:gain animate elements and a span with the clip (an audio element linking
// the file, or its bytes in base64 in a source/data child) and the text. Times are clock times
// with milliseconds. Fails only when `clip` does, or the device cannot be written.
bool writeDaptDocument(const DaptScript& script, QIODevice* device, const DaptClipBytes& clip,
                       QString* error);

// The document of a script that embeds no clip.
QByteArray daptDocument(const DaptScript& script);

// Writes the document to `path`, which appears whole or not at all.
bool saveDaptDocument(const DaptScript& script, const QString& path, const DaptClipBytes& clip,
                      QString* error);

} // namespace lyrane
