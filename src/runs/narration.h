#pragma once

#include "runs/narration_input.h"
#include "runs/narration_outcome.h"
#include "runs/narration_plan.h"
#include "runs/place_step.h"
#include "runs/run_configuration.h"
#include "runs/run_context.h"
#include "runs/run_preparation.h"
#include "runs/run_report.h"
#include "runs/take_choices.h"
#include "synthesis/account_voices.h"
#include "synthesis/cost_estimate.h"

#include <QStringList>

#include <functional>
#include <memory>

namespace lyrane {

// Decides whether a run may pay for the clips it is about to ask for.
class CostGate {
public:
    virtual ~CostGate() = default;
    // Nothing when the run may start; else why not.
    virtual std::optional<NarrationOutcome> refuses(const CostEstimate& estimate,
                                                    RunServices& services, RunContext context) = 0;
};

// --max-credits and the account's credits, checked for one run.
class BudgetAndAccountGate final : public CostGate {
public:
    explicit BudgetAndAccountGate(const RunConfiguration& config) : config(config) {}
    std::optional<NarrationOutcome> refuses(const CostEstimate& estimate, RunServices& services,
                                            RunContext context) override;

private:
    const RunConfiguration& config;
};

// A gate passed already: a batch checks the cost of all its files at once.
class PassedGate final : public CostGate {
public:
    std::optional<NarrationOutcome> refuses(const CostEstimate&, RunServices&,
                                            RunContext) override {
        return std::nullopt;
    }
};

// Makes the key, cache, mirror and service of a run; nothing, with the failure, when they
// cannot be made. Tests give a session services of their own.
using ServicesMaker =
    std::function<std::unique_ptr<RunServices>(const RunConfiguration&, NarrationOutcome*)>;

// What the narrations of one invocation share: the context, the services (made once, when the
// first input that needs them comes), the account's voice names, the take choices, and the
// report.
class NarrationSession {
public:
    NarrationSession(const RunConfiguration& config, RunContext context,
                     ServicesMaker makeServices = {});

    // The key, cache and mirror; nullptr, with the failure in `failure`, when they cannot be
    // made.
    RunServices* services(NarrationOutcome* failure);
    // Where a run's plan finds voice names and takes; the services must be made.
    PlanSources planSources();

    const RunConfiguration& config;
    RunContext context;
    RunReport report;
    TypedCommand command; // as typed: for the review page's commands

private:
    ServicesMaker makeServices;
    std::unique_ptr<RunServices> made;
    std::unique_ptr<VoiceNameResolver> voiceNames;
    std::unique_ptr<TakeChoices> takes;
};

// The pipeline of one input: plan -> cost gate -> fetch -> place -> sinks (audio, time map,
// captions) -> report -> review. The records' entries and totals go into the session's report;
// a failure, what was billed and, after a stop, what was kept are said once, at the end.
NarrationOutcome narrate(NarrationSession& session, const NarrationInput& input, CostGate& gate);

// What a pass of the pipeline leaves besides its outcome: the records and where the clips
// landed, as far as it got.
struct NarrationPass {
    std::optional<NarrationPlan> plan;
    PlacedTimeline timeline;
};

// narrate() with `takes` in place of the run's own --retake and --take, the plan and the
// timeline kept in `pass`: a narration changed again after its run.
NarrationOutcome narrateWithTakes(NarrationSession& session, const NarrationInput& input,
                                  CostGate& gate, const TakeRequests& takes, NarrationPass* pass);

// Puts the outcome's failure in the report, naming `input`, unless one is there already.
void recordFailure(RunReport& report, const NarrationOutcome& outcome, const QString& input);

// The review page without a timeline: a dry run's, or one of clips only (--no-padding).
NarrationOutcome writeReviewWithoutTimeline(NarrationSession& session);

} // namespace lyrane
