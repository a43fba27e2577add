#include "runs/live_narration.h"

namespace lyrane {

NarrationOutcome LiveNarration::start(CostGate& gate) {
    const NarrationOutcome outcome =
        narrateWithTakes(session, input, gate, session.config.takes, &current);
    billing.add(outcome.billing);
    kept = session.report;
    return outcome;
}

NarrationOutcome LiveNarration::change(const TakeRequests& takes, CostGate& gate) {
    // The report is made again from the pass's records; only what was billed adds up.
    RunReport& report = session.report;
    report.cues.clear();
    report.outputs.clear();
    report.totals.cues = 0;
    NarrationPass pass;
    const NarrationOutcome outcome = narrateWithTakes(session, input, gate, takes, &pass);
    billing.add(outcome.billing);
    if (outcome.done()) {
        current = std::move(pass);
        kept = report;
        return outcome;
    }
    const ReportTotals totals = report.totals;
    report = kept;
    report.totals.newClips = totals.newClips;
    report.totals.charactersBilled = totals.charactersBilled;
    report.totals.charactersBilledEstimated = totals.charactersBilledEstimated;
    kept = report;
    return outcome;
}

} // namespace lyrane
