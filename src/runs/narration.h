#pragma once

#include "audio/loudness.h"
#include "runs/dialogue_fit.h"
#include "runs/narration_progress.h"
#include "runs/run_accounting.h"
#include "runs/run_configuration.h"
#include "runs/run_preparation.h"
#include "runs/sentence_groups.h"
#include "synthesis/account_voices.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace lyrane {

// What a narration, or one of its steps, came to. A failure has been said on standard error;
// `failure` keeps its line for the report. A stop by a signal is said by the run, once it has
// said what it kept.
struct NarrationOutcome {
    enum class Status { Done, Failed, Interrupted };
    Status status = Status::Done;
    std::optional<qint64> failedCue; // from 1
    QString failure;
    int signal = 0; // Interrupted: the signal that asked the run to stop
    Billing billing;
    std::optional<LoudnessGain> loudness; // a written output's figures under a target
    QList<qint64> coversDialogueMs;       // with --dialogue: each clip's time over dialogue

    bool done() const { return status == Status::Done; }
    // 0, 1, or 128 + the signal.
    int exitStatus() const;
    static NarrationOutcome failed(const QString& line, std::optional<qint64> cue = std::nullopt);
    static NarrationOutcome interrupted(int signal);
};

// Decides whether a run may pay for the clips it is about to ask for.
class CostGate {
public:
    virtual ~CostGate() = default;
    // False, having said why, with that line in `failure`, when the run must not start.
    virtual bool allows(const CostEstimate& estimate, RunServices& services, QString* failure) = 0;
};

// --max-credits and the account's credits, checked for one run.
class BudgetAndAccountGate final : public CostGate {
public:
    explicit BudgetAndAccountGate(const RunConfiguration& config) : config(config) {}
    bool allows(const CostEstimate& estimate, RunServices& services, QString* failure) override;

private:
    const RunConfiguration& config;
};

// A gate passed already: a batch checks the cost of all its files at once.
class PassedGate final : public CostGate {
public:
    bool allows(const CostEstimate&, RunServices&, QString*) override { return true; }
};

// How clips are laid out: at their cues' times (a subtitle file, onto a timeline that lasts
// as long as the file) or one after the other (a text, or its parts).
enum class CueLayout { CueTimes, BackToBack };

// One thing to narrate: its cues, how they are laid out and how its progress is worded.
struct NarrationInput {
    CueLayout layout = CueLayout::CueTimes;
    const ProgressWording* wording = &subtitleWording();
    QList<Cue> cues;         // the whole file: the last cue's end fixes the timeline's length
    int count = 0;           // cues narrated, from the first
    QString leadingContext;  // sent as the text before the first cue
    QString trailingContext; // and after the last cue of the file
    QString input;           // names the file in the report of a batch
    QString outputFile;
    QList<SentenceGroup> groups; // --join-sentences: each narrated cue's group; else empty
    std::optional<QList<TimeSpan>> dialogue; // --dialogue, merged
};

// What the narrations of one invocation share: the services (made once, when the first input
// that needs them comes), the account's voice names, and the report.
class NarrationSession {
public:
    explicit NarrationSession(const RunConfiguration& config);

    // The key, cache and mirror; nullptr, having said why (the line in `failure`), when they
    // cannot be made.
    RunServices* services(QString* failure);
    // The jobs the input's cues send: each cue in its speaker's voice (an account voice's name
    // looked up), its neighbours as context.
    QList<ClipJob> jobs(const NarrationInput& input, const ClipSource& source, bool lookUpVoices);
    // The job of cue `index` alone.
    ClipJob job(const NarrationInput& input, int index, const ClipSource& source,
                bool lookUpVoices);

    const RunConfiguration& config;
    RunReport report;

private:
    std::unique_ptr<RunServices> made;
    std::unique_ptr<VoiceNameResolver> voiceNames;
};

// jobs -> cost gate -> scheduler -> timeline -> output -> captions: narrates one input, adding
// its cues, totals and output to the session's report.
NarrationOutcome narrate(NarrationSession& session, const NarrationInput& input, CostGate& gate);

// Brings every job's clip into the local cache; a failure names its cue.
NarrationOutcome fetchClips(const NarrationInput& input, const QList<ClipJob>& jobs,
                            const RunConfiguration& config, const ClipSource& source,
                            std::vector<ClipResult>* results);
struct TimelineReview;
// Writes --review from the session's report and what the timeline pass left (nothing for a
// dry run); a page that cannot be written fails the run.
NarrationOutcome writeReview(NarrationSession& session, TimelineReview review);

// Puts the outcome's failure in the report, naming `input`, unless one is there already.
void recordFailure(RunReport& report, const NarrationOutcome& outcome, const QString& input);

} // namespace lyrane
