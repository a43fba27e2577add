#pragma once

#include "runs/run_report.h"
#include "runs/typed_command.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace lyrane {

// How the last action on a cue of a page served live went.
struct LiveCueState {
    bool busy = false; // an action on the cue is under way
    QString failure;   // why the last one failed, one line; empty when it did not
};

// What a page served live adds: the address of each clip and of the narration, each cue's
// actions and state, and the script that runs them.
struct LivePageParts {
    std::function<QString(const QString& clipFile)> clipAddress; // empty: not served
    QString narrationAddress;                                    // empty: no narration
    QHash<qint64, LiveCueState> cues;                            // by number; absent: idle
    QString script;
    qint64 generation = 0; // of the state the page shows
};

// What the review page shows besides the report: the narration's envelope and the command
// line its retake and take commands are made from.
struct ReviewPageInput {
    const RunReport* report = nullptr;
    QList<float> envelope; // RMS per envelope block; empty for a dry run
    qint64 lengthMs = 0;   // of the output; 0: to the last cue's end
    QStringList command;   // the program and its arguments, as the page's reader types them
    QString pageDirectory; // where a written page lies: its players link the clips from there
    const LivePageParts* live = nullptr; // served live; null for a page written to a file
};

// The arguments that redo the run with `extra`: --retake, --take, --dry-run and --serve dropped.
QStringList rerunArguments(const QStringList& arguments, const QStringList& extra);
// An argument list as one line a POSIX shell reads back as the same words.
QString shellCommand(const QStringList& arguments);

// The page's parts, each one element that a page served live replaces as the run changes: the
// settings and totals, the timeline with the envelope under it, and one cue's row.
QString reviewSummaryHtml(const ReviewPageInput& input);
QString reviewTimelineHtml(const ReviewPageInput& input);
QString reviewCueRowHtml(const ReviewPageInput& input, const ReportCue& cue);

// One self-contained HTML page (inline style and SVG; no address outside its own): settings and
// totals, the timeline with the envelope under it, one row per cue.
QByteArray reviewPageHtml(const ReviewPageInput& input);
// Writes the page to `path` (its directory set from it); the file appears whole or not at all.
bool writeReviewPage(const QString& path, ReviewPageInput input, QString* error);

} // namespace lyrane
