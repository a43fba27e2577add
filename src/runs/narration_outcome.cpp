// The outcome a narration ends with, and the gate that may stop it before it pays.

#include "runs/narration.h"

#include "runs/console.h"
#include "runs/service_notices.h"
#include "runs/stop_signals.h"
#include "synthesis/account_client.h"
#include "synthesis/cost_estimate.h"

namespace lyrane {

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

NarrationOutcome NarrationOutcome::failed(const QString& line, std::optional<qint64> cue) {
    NarrationOutcome outcome;
    outcome.status = Status::Failed;
    outcome.failure = line;
    outcome.failedCue = cue;
    return outcome;
}

NarrationOutcome NarrationOutcome::interrupted(int signal) {
    NarrationOutcome outcome;
    outcome.status = Status::Interrupted;
    outcome.signal = signal;
    return outcome;
}

bool BudgetAndAccountGate::allows(const CostEstimate& estimate, RunServices& services,
                                  QString* failure) {
    if (config.maxCredits && estimate.credits > *config.maxCredits) {
        *failure = printFailure(overBudgetLine(estimate.credits, *config.maxCredits));
        return false;
    }
    // After a stop the run's next step ends it, before any clip.
    if (!config.creditCheck || estimate.cuesToSynthesize == 0 || receivedStopSignal() != 0) {
        return true;
    }
    QString error;
    const StopScope reading([&services] { abortRequests(services.network); });
    const std::optional<AccountCredits> account =
        readAccountCredits(&services.network, services.client.baseUrl(), services.apiKey,
                           config.synthesis.timeoutMs, &error);
    if (!account) {
        if (receivedStopSignal() == 0) {
            printError(creditCheckSkippedLine(error));
        }
        return true;
    }
    if (!account->allows(estimate.credits)) {
        *failure = printFailure(notEnoughCreditsLine(estimate.credits, account->left()));
        return false;
    }
    return true;
}

} // namespace lyrane
