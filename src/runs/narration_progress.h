#pragma once

#include "runs/run_context.h"
#include "runs/status_line.h"
#include "subtitles/cue.h"
#include "synthesis/clip_scheduler.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace lyrane {

// The words a mode uses for each clip event. A wording is a template whose fields are filled
// from the event: {n} the cue's number, {count} the cues in the run, {path} the clip's file,
// {object} its name in the mirror, {error}, {setAside}, {delay}, {attempt}, {retries}, and for
// a cue with times {start}, {end}, {voice}, {format}, {text}. An empty wording prints nothing.
struct ProgressWording {
    QString cachedUnusable;
    QString cachedSetAside;
    QString downloadedUnusable;
    QString downloaded;
    QString synthesizing;
    QString synthesizingAlone; // when the run has one cue; empty: `synthesizing`
    QString retrying;
    QString synthesisFailed;
    QString tipLabel;      // how a failure's tip names the text
    QString tipLabelAlone; // ... when the run has one cue; empty: `tipLabel`
    QString storeFailed;
    QString uploadedNew;
    QString uploadedCached;
    QString readyFromCache;
    QString readyFromMirror;
    QString readyFromService;
    QString clipsReady; // every clip is local: {count}
    QString createdMp3; // the output is written: {path}
    QString createdWav;
};

// A subtitle run's words: segments numbered by cue.
const ProgressWording& subtitleWording();
// A single text's words: the text, or its parts.
const ProgressWording& singleTextWording();

// `pattern` with each {field} replaced by its value in one pass, so a value holding braces is
// written as it is.
QString fillWording(const QString& pattern, const QList<std::pair<QString, QString>>& fields);

// Prints each clip event in a mode's words, and keeps the first failure that ends the run.
class NarrationProgress final : public ClipProgress {
public:
    NarrationProgress(Console& console, const ProgressWording& wording, const QList<Cue>& cues,
                      int count, int retries, const QString& keySource);

    void report(const ClipNotice& notice, const ClipJob& job) override;
    // Shows one status line in place of each clip's lines (but for failures and retries).
    void showStatusLine();

    std::optional<qint64> failedCue; // the first cue that failed, from 1
    QString failure;                 // and why

private:
    Console& console;
    const ProgressWording& wording;
    const QList<Cue>& cues;
    const int count;
    const int retries;
    const QString keySource;
    std::unique_ptr<StatusLine> status;
};

} // namespace lyrane
