#pragma once

#include "runs/live_narration.h"
#include "runs/review_page.h"

#include <QHash>
#include <QMap>
#include <QObject>

#include <functional>

namespace lyrane {

// The actions of a page served live, each on one cue: a retake (as --retake N would make it) or
// another take chosen (as --take N=K). Passes run one at a time from the event loop and never
// inside one another: an action asked for while a pass runs (its request answered from the
// pass's nested event loop) only waits, and those waiting go together in the next pass, their
// retakes fetched side by side within --jobs and the output written once.
class LiveActions : public QObject {
public:
    enum class Answer { Accepted, NoSuchCue, Busy };

    LiveActions(LiveNarration& narration, CostGate& gate, const StopToken& stop);

    Answer retake(int cue);
    Answer choose(int cue, int take);

    const QHash<qint64, LiveCueState>& states() const { return cueStates; }
    bool running() const { return inPass; }

    // Told when a cue's state changes outside a pass (an action taken on).
    std::function<void(qint64 cue, const LiveCueState& state)> stateChanged;
    // Told after each pass, with whether the narration (and its output) changed.
    std::function<void(bool changed)> passed;

private:
    struct Action {
        int take = 0; // 0: a retake
    };
    Answer accept(int cue, Action action);
    void runWaiting();
    // Runs `batch` in as few passes as its failures allow: a failed cue's action is dropped with
    // its reason, the others run again (their clips are in the cache by then).
    bool runBatch(QMap<int, Action> batch);
    void fail(int cue, const QString& reason);

    LiveNarration& narration;
    CostGate& gate;
    const StopToken& stop;
    QMap<int, Action> waiting;
    QHash<qint64, LiveCueState> cueStates;
    bool inPass = false;
};

} // namespace lyrane
