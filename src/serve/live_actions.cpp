#include "serve/live_actions.h"

#include <QObject>
#include <QTimer>

namespace lyrane {

LiveActions::LiveActions(LiveNarration& narration, CostGate& gate, const StopToken& stop)
    : narration(narration), gate(gate), stop(stop) {}

LiveActions::Answer LiveActions::retake(int cue) {
    return accept(cue, Action{});
}

LiveActions::Answer LiveActions::choose(int cue, int take) {
    return take < 1 ? Answer::NoSuchCue : accept(cue, Action{take});
}

LiveActions::Answer LiveActions::accept(int cue, Action action) {
    if (cue < 1 || cue > narration.cueCount()) {
        return Answer::NoSuchCue;
    }
    if (cueStates.value(cue).busy) {
        return Answer::Busy;
    }
    cueStates.insert(cue, LiveCueState{true, QString()});
    waiting.insert(cue, action);
    if (stateChanged) {
        stateChanged(cue, cueStates.value(cue));
    }
    if (!inPass) {
        // From the event loop, after this request is answered.
        QTimer::singleShot(0, this, &LiveActions::runWaiting);
    }
    return Answer::Accepted;
}

void LiveActions::fail(int cue, const QString& reason) {
    cueStates.insert(cue, LiveCueState{false, reason});
}

void LiveActions::runWaiting() {
    if (inPass || waiting.isEmpty()) {
        return;
    }
    inPass = true;
    const bool changed = runBatch(std::exchange(waiting, {}));
    inPass = false;
    if (passed) {
        passed(changed);
    }
    if (!waiting.isEmpty()) {
        QTimer::singleShot(0, this, &LiveActions::runWaiting);
    }
}

bool LiveActions::runBatch(QMap<int, Action> batch) {
    while (!batch.isEmpty()) {
        if (stop.requested()) {
            for (auto it = batch.begin(); it != batch.end(); ++it) {
                fail(it.key(), QObject::tr("stopped"));
            }
            return false;
        }
        TakeRequests takes;
        for (auto it = batch.begin(); it != batch.end(); ++it) {
            if (it->take == 0) {
                takes.retakes.append({it.key(), it.key()});
            } else {
                takes.choices.insert(it.key(), it->take);
            }
        }
        const NarrationOutcome outcome = narration.change(takes, gate);
        if (outcome.done()) {
            for (auto it = batch.begin(); it != batch.end(); ++it) {
                cueStates.remove(it.key());
            }
            return true;
        }
        if (outcome.interrupted()) {
            for (auto it = batch.begin(); it != batch.end(); ++it) {
                fail(it.key(), QObject::tr("stopped"));
            }
            return false;
        }
        const std::optional<qint64> cue = outcome.failure.cue;
        if (batch.size() == 1 || (cue && batch.contains(int(*cue)))) {
            const int failed = cue && batch.contains(int(*cue)) ? int(*cue) : batch.firstKey();
            fail(failed, outcome.failure.message());
            batch.remove(failed);
            continue;
        }
        // A failure of no one cue of the batch: each action alone says whose it is.
        bool changed = false;
        for (auto it = batch.begin(); it != batch.end(); ++it) {
            changed = runBatch({{it.key(), it.value()}}) || changed;
        }
        return changed;
    }
    return false;
}

} // namespace lyrane
