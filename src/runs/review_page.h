#pragma once

#include "runs/run_report.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace lyrane {

// What the review page shows besides the report: the narration's envelope and the command
// line its retake and take commands are made from.
struct ReviewPageInput {
    const RunReport* report = nullptr;
    QList<float> envelope; // RMS per envelope block; empty for a dry run
    qint64 lengthMs = 0;   // of the output; 0: to the last cue's end
    QStringList arguments; // the program and its arguments, as run
};

// The arguments that redo the run with `extra`: --retake, --take and --dry-run dropped.
QStringList rerunArguments(const QStringList& arguments, const QStringList& extra);
// An argument list as one line a POSIX shell reads back as the same words.
QString shellCommand(const QStringList& arguments);

// One self-contained HTML page (inline style and SVG; players link the clips relative to the
// page): settings and totals, the timeline with the envelope under it, one row per cue.
QByteArray reviewPageHtml(const ReviewPageInput& input, const QString& pageDirectory);
// Writes the page to `path`; the file appears whole or not at all.
bool writeReviewPage(const QString& path, const ReviewPageInput& input, QString* error);

} // namespace lyrane
