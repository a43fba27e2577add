#include "runs/live_narration.h"

#include <QFile>
#include <QHash>

namespace lyrane {

NarrationOutcome LiveNarration::start(CostGate& gate) {
    const NarrationOutcome outcome =
        narrateWithTakes(session, input, gate, session.config.takes, &current);
    billing.add(outcome.billing);
    kept = session.report;
    return outcome;
}

namespace {

QByteArray recordText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void LiveNarration::restoreTakes(const QHash<QString, QByteArray>& records) {
    TakeChoices* choices = session.planSources().takes;
    QList<CueTake> takes;
    bool changed = false;
    for (const CueRecord& record : current.plan->cues) {
        CueTake take = record.take;
        const auto before = records.constFind(take.recordPath);
        take.changed = before != records.constEnd() && recordText(take.recordPath) != *before;
        changed = changed || take.changed;
        takes.append(take);
    }
    if (changed && choices) {
        choices->remember(takes);
    }
}

NarrationOutcome LiveNarration::change(const TakeRequests& takes, CostGate& gate) {
    QHash<QString, QByteArray> records;
    for (const CueRecord& record : current.plan->cues) {
        const int number = int(record.number());
        if (takes.isRetaken(number) || takes.choices.contains(number)) {
            records.insert(record.take.recordPath, recordText(record.take.recordPath));
        }
    }
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
    restoreTakes(records);
    const ReportTotals totals = report.totals;
    report = kept;
    report.totals.newClips = totals.newClips;
    report.totals.charactersBilled = totals.charactersBilled;
    report.totals.charactersBilledEstimated = totals.charactersBilledEstimated;
    kept = report;
    return outcome;
}

} // namespace lyrane
