// The outcome a narration ends with, and the gate that may stop it before it pays.

#include "runs/narration_outcome.h"

#include "runs/narration.h"
#include "synthesis/account_client.h"
#include "synthesis/cost_estimate.h"

namespace lyrane {

void Billing::add(const Billing& other) {
    characters += other.characters;
    newClips += other.newClips;
    estimated = estimated || other.estimated;
}

int NarrationOutcome::exitStatus() const {
    switch (status) {
    case Status::Done:
        return 0;
    case Status::Failed:
        return 1;
    case Status::Interrupted:
        return 128 + signal;
    }
    return 1;
}

NarrationOutcome NarrationOutcome::failedWith(RunFailure::Kind kind, const QString& line,
                                              std::optional<qint64> cue) {
    NarrationOutcome outcome;
    outcome.status = Status::Failed;
    outcome.failure.kind = kind;
    outcome.failure.line = line;
    outcome.failure.cue = cue;
    return outcome;
}

NarrationOutcome NarrationOutcome::stoppedBy(int signal) {
    NarrationOutcome outcome;
    outcome.status = Status::Interrupted;
    outcome.signal = signal;
    return outcome;
}

void sayFailure(Console& console, NarrationOutcome& outcome) {
    if (!outcome.failed() || outcome.failure.said) {
        return;
    }
    console.error(outcome.failure.line);
    outcome.failure.said = true;
}

std::optional<NarrationOutcome> BudgetAndAccountGate::refuses(const CostEstimate& estimate,
                                                              RunServices& services,
                                                              RunContext context) {
    if (config.maxCredits && estimate.credits > *config.maxCredits) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Budget,
                                            overBudgetLine(estimate.credits, *config.maxCredits));
    }
    // After a stop the run's next step ends it, before any clip.
    if (!config.creditCheck || estimate.cuesToSynthesize == 0 || context.stop.requested()) {
        return std::nullopt;
    }
    QString error;
    const std::unique_ptr<StopWatch> reading =
        context.stop.watch([&services] { abortRequests(services.network); });
    const std::optional<AccountCredits> account =
        readAccountCredits(&services.network, services.client.baseUrl(), services.apiKey,
                           config.synthesis.timeoutMs, &error);
    if (!account) {
        if (!context.stop.requested()) {
            context.console.error(creditCheckSkippedLine(error));
        }
        return std::nullopt;
    }
    if (!account->allows(estimate.credits)) {
        return NarrationOutcome::failedWith(
            RunFailure::Kind::Budget, notEnoughCreditsLine(estimate.credits, account->left()));
    }
    return std::nullopt;
}

} // namespace lyrane
