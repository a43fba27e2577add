#pragma once

#include "runs/place_step.h"
#include "runs/review_page.h"
#include "runs/run_report.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace lyrane {

// The review page a live session serves, kept as its parts (the settings and totals, the
// timeline, each cue's row, the narration's address) so that a change sends only the parts that
// differ, each marked with the generation it changed in. Made from copies: a request answered
// while a pass runs sees the narration as it last stood.
class LivePage {
public:
    // `parts` gives the clips' addresses, the narration's address and the page's script.
    LivePage(QStringList command, LivePageParts parts);

    // The narration as it stands (its report and timeline) and the cues' states; `rewritten`
    // when the output was written again, so that its player reloads it.
    void show(const RunReport& report, const PlacedTimeline& timeline,
              const QHash<qint64, LiveCueState>& states, bool rewritten);
    // Only cue `number`'s state changed.
    void showCueState(qint64 number, const LiveCueState& state);

    qint64 generation() const { return latest; }
    const QString& script() const { return parts.script; }
    QByteArray html() const;
    // The parts changed after `generation`, as JSON: {"generation", "rows": [{"cue", "html"}],
    // "summary", "timeline", "narration"}, each part only when it changed.
    QByteArray changesSince(qint64 generation) const;

private:
    struct Part {
        QString html;
        qint64 generation = 0;
    };
    ReviewPageInput input() const;
    void set(Part& part, const QString& html);

    QStringList command;
    LivePageParts parts;
    QString narrationBase; // without its version
    int narrationVersion = 0;
    RunReport report;
    QList<float> envelope;
    qint64 lengthMs = 0;
    Part summary;
    Part timeline;
    Part narration;
    QList<Part> rows;
    QHash<qint64, qsizetype> rowOf; // cue number -> row
    qint64 latest = 0;
    qint64 pending = 0; // the generation the parts being set take
};

} // namespace lyrane
