#pragma once

#include "runs/narration.h"
#include "runs/take_requests.h"

#include <QHash>

namespace lyrane {

// One subtitle file's narration kept after its run, so that its takes can change again. A
// change is the pass the matching --retake or --take run makes (the same requests, records,
// mirror uploads, prices and lines), the output rebuilt where it changed; the session's report
// then holds the narration as it stands and everything the session was billed.
class LiveNarration {
public:
    LiveNarration(NarrationSession& session, NarrationInput input)
        : session(session), input(std::move(input)) {}
    LiveNarration(const LiveNarration&) = delete;
    LiveNarration& operator=(const LiveNarration&) = delete;

    // The run as --vtt makes it, with the command line's own takes.
    NarrationOutcome start(CostGate& gate);
    // Retakes and choices of several cues in one pass. After a failure or a stop the narration
    // stays as it was, but for what the service billed meanwhile.
    NarrationOutcome change(const TakeRequests& takes, CostGate& gate);

    const RunReport& report() const { return session.report; }
    const PlacedTimeline& timeline() const { return current.timeline; }
    // The cues a change may name, from 1.
    int cueCount() const { return input.count; }
    const TypedCommand& command() const { return session.command; }
    // Everything the session's passes were billed.
    const Billing& billed() const { return billing; }

private:
    // A pass that fails after the fetch wrote the take records of the cues it named (the mix
    // then failing, say) puts back those that changed, so that nothing changes but the bill.
    void restoreTakes(const QHash<QString, QByteArray>& records);

    NarrationSession& session;
    const NarrationInput input;
    NarrationPass current;
    RunReport kept; // the report of `current`
    Billing billing;
};

} // namespace lyrane
