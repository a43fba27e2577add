#pragma once

#include "runs/narration_outcome.h"
#include "runs/narration_plan.h"
#include "runs/place_step.h"
#include "runs/run_context.h"
#include "runs/run_report.h"
#include "runs/typed_command.h"

#include <QString>
#include <QStringList>

namespace lyrane {

// Writes one output from the records and the placed timeline. A new output is a new sink.
class NarrationSink {
public:
    virtual ~NarrationSink() = default;
    virtual NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                                   RunContext context) = 0;
};

// The narration as sound: WAV or MP3 after the output's name, or mixed over the --mix-with
// programme; the output and its loudness go into `report`.
class AudioSink final : public NarrationSink {
public:
    AudioSink(const QString& outputFile, RunReport& report)
        : outputFile(outputFile), report(report) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    QString outputFile;
    RunReport& report;
};

// --time-map: the programme's pauses of an extended narration.
class TimeMapSink final : public NarrationSink {
public:
    explicit TimeMapSink(const QString& path) : path(path) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    QString path;
};

// --captions-out: each cue timed where its clip plays, with its words under --word-timing.
class CaptionsSink final : public NarrationSink {
public:
    CaptionsSink(const QString& path, bool withWords) : path(path), withWords(withWords) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    QString path;
    bool withWords;
};

// --review: the run as one page, from the report the records made (the timeline's envelope
// drawn under it when there is one).
class ReviewSink final : public NarrationSink {
public:
    ReviewSink(const QString& path, const RunReport& report, const TypedCommand& command)
        : path(path), report(report), command(command) {}
    NarrationOutcome write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                           RunContext context) override;

private:
    QString path;
    const RunReport& report;
    TypedCommand command;
};

// What the report keeps of the narration: each cue's entry from its record (when `cueEntries`;
// a long file's entries cost as much as its listing), then the totals.
void recordNarration(RunReport* report, const NarrationPlan& plan, const Billing& billing,
                     bool cueEntries, bool dryRun);

} // namespace lyrane
